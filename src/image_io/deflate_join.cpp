// A walk over deflate blocks (RFC 1951) that decodes every symbol but writes nothing: it only needs to know
// where each block ends. Huffman codes are decoded through a table of the first FAST_BITS bits; the rare longer
// codes are decoded canonically, one bit at a time.
#include "image_io/deflate_join.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace qf::deflate {

namespace {

constexpr unsigned MAX_BITS = 15;  // the longest Huffman code deflate allows
constexpr unsigned FAST_BITS = 10;
constexpr unsigned LITLEN_CODES = 288;
constexpr unsigned END_OF_BLOCK = 256;

// The extra bits after each symbol: none after literals, the end of block and the code length symbols; some after
// length symbols 257..285 and distance symbols 0..29; none after the symbols that may not occur (286, 287, 30
// and 31), which the walk refuses.
constexpr auto LITLEN_EXTRA = [] {
  std::array<uint8_t, LITLEN_CODES> extra{};
  constexpr uint8_t length[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  for (unsigned s = 0; s < 29; ++s) extra[257 + s] = length[s];
  return extra;
}();
constexpr uint8_t DISTANCE_EXTRA[32] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6,
                                        7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 0, 0};
constexpr uint8_t NO_EXTRA[19] = {};

// Reads bits least significant first, as deflate packs them. Past the end of the data it reads zeros; the
// walk checks `overrun()` often enough never to act on them.
class BitReader {
 public:
  BitReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // At least 57 bits from the current position.
  uint64_t peek() const {
    const std::size_t byte = pos_ >> 3;
    uint64_t v = 0;
    if (byte + 8 <= size_ && std::endian::native == std::endian::little) {
      std::memcpy(&v, data_ + byte, 8);
    } else {
      for (std::size_t i = 0; i < 8 && byte + i < size_; ++i) v |= uint64_t{data_[byte + i]} << (8 * i);
    }
    return v >> (pos_ & 7);
  }
  uint32_t take(unsigned n) {  // n <= 32
    const auto v = static_cast<uint32_t>(peek() & ((uint64_t{1} << n) - 1));
    pos_ += n;
    return v;
  }
  void skip(std::size_t n) { pos_ += n; }
  void align() { pos_ = (pos_ + 7) & ~std::size_t{7}; }
  std::size_t position() const { return pos_; }
  bool overrun() const { return pos_ > 8 * size_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A canonical Huffman code: a table indexed by the next FAST_BITS bits (symbol << 5 | the bits to skip, or 0
// where the code is longer), and the code lengths' counts with the symbols in canonical order for the longer
// codes. Decoding a symbol skips the extra bits that follow it too (extra[symbol] of them), since the walk never
// needs their value.
class HuffmanCode {
 public:
  // False when the lengths over-subscribe the code space. Incomplete codes are allowed (a code that is not
  // assigned then fails to decode), as deflate allows a single distance code.
  bool build(const uint8_t* lengths, unsigned n, const uint8_t* extra) {
    extra_ = extra;
    count_.fill(0);
    for (unsigned s = 0; s < n; ++s) ++count_[lengths[s]];
    count_[0] = 0;
    int left = 1;
    for (unsigned len = 1; len <= MAX_BITS; ++len) {
      left = 2 * left - count_[len];
      if (left < 0) return false;
    }
    std::array<uint16_t, MAX_BITS + 2> offset{};
    for (unsigned len = 1; len <= MAX_BITS; ++len) offset[len + 1] = static_cast<uint16_t>(offset[len] + count_[len]);
    std::array<uint32_t, MAX_BITS + 1> next{};
    uint32_t code = 0;
    for (unsigned len = 1; len <= MAX_BITS; ++len) {
      code = (code + count_[len - 1]) << 1;
      next[len] = code;
    }
    fast_.fill(0);
    for (unsigned s = 0; s < n; ++s) {
      const unsigned len = lengths[s];
      if (len == 0) continue;
      symbols_[offset[len]++] = static_cast<uint16_t>(s);
      const uint32_t c = next[len]++;
      if (len > FAST_BITS) continue;
      uint32_t reversed = 0;
      for (unsigned i = 0; i < len; ++i) reversed |= ((c >> i) & 1) << (len - 1 - i);
      const auto entry = static_cast<uint16_t>(s << 5 | (len + extra_[s]));
      for (uint32_t k = reversed; k < fast_.size(); k += 1u << len) fast_[k] = entry;
    }
    return true;
  }

  // The next symbol, or -1 for a bit pattern that is not a code.
  int decode(BitReader& in) const {
    const uint64_t bits = in.peek();
    const uint16_t e = fast_[bits & ((1u << FAST_BITS) - 1)];
    if (e != 0) {
      in.skip(e & 31);
      return e >> 5;
    }
    // Canonical decoding: codes of each length are consecutive integers, read most significant bit first.
    int code = 0, first = 0, index = 0;
    for (unsigned len = 1; len <= MAX_BITS; ++len) {
      code |= static_cast<int>((bits >> (len - 1)) & 1);
      const int count = count_[len];
      if (code - first < count) {
        const uint16_t symbol = symbols_[index + code - first];
        in.skip(len + extra_[symbol]);
        return symbol;
      }
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return -1;
  }

 private:
  std::array<uint16_t, 1u << FAST_BITS> fast_{};
  std::array<uint16_t, MAX_BITS + 1> count_{};
  std::array<uint16_t, LITLEN_CODES> symbols_{};
  const uint8_t* extra_ = nullptr;
};

struct FixedCodes {
  HuffmanCode litlen, distance;
  FixedCodes() {
    uint8_t lengths[LITLEN_CODES];
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    litlen.build(lengths, LITLEN_CODES, LITLEN_EXTRA.data());
    std::memset(lengths, 5, 30);
    distance.build(lengths, 30, DISTANCE_EXTRA);
  }
};

// Reads the code lengths of a dynamic block's header into its two codes.
bool read_dynamic_codes(BitReader& in, HuffmanCode& litlen, HuffmanCode& distance) {
  static constexpr uint8_t ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  const unsigned nlit = in.take(5) + 257, ndist = in.take(5) + 1, nlen = in.take(4) + 4;
  if (nlit > 286 || ndist > 30) return false;
  uint8_t lengths[286 + 30] = {};
  for (unsigned i = 0; i < nlen; ++i) lengths[ORDER[i]] = static_cast<uint8_t>(in.take(3));
  HuffmanCode lengths_code;
  if (!lengths_code.build(lengths, 19, NO_EXTRA)) return false;
  std::memset(lengths, 0, 19);
  for (unsigned i = 0; i < nlit + ndist;) {
    if (in.overrun()) return false;
    const int sym = lengths_code.decode(in);
    if (sym < 0) return false;
    if (sym < 16) {
      lengths[i++] = static_cast<uint8_t>(sym);
      continue;
    }
    uint8_t value = 0;
    unsigned repeat;
    if (sym == 16) {
      if (i == 0) return false;
      value = lengths[i - 1];
      repeat = 3 + in.take(2);
    } else if (sym == 17) {
      repeat = 3 + in.take(3);
    } else {
      repeat = 11 + in.take(7);
    }
    if (i + repeat > nlit + ndist) return false;
    std::memset(lengths + i, value, repeat);
    i += repeat;
  }
  if (lengths[END_OF_BLOCK] == 0) return false;  // a block must be able to end
  return litlen.build(lengths, nlit, LITLEN_EXTRA.data()) && distance.build(lengths + nlit, ndist, DISTANCE_EXTRA);
}

// Walks the symbols of a Huffman-coded block up to and including its end-of-block code.
bool skip_symbols(BitReader& in, const HuffmanCode& litlen, const HuffmanCode& distance) {
  for (;;) {
    if (in.overrun()) return false;
    const int sym = litlen.decode(in);
    if (sym < 0) return false;
    if (sym < static_cast<int>(END_OF_BLOCK)) continue;
    if (sym == static_cast<int>(END_OF_BLOCK)) return !in.overrun();
    if (sym > 285) return false;
    const int d = distance.decode(in);
    if (d < 0 || d > 29) return false;
  }
}

}  // namespace

std::optional<FinalBlock> find_final_block(const uint8_t* data, std::size_t size) {
  static const FixedCodes fixed;
  BitReader in(data, size);
  HuffmanCode litlen, distance;
  for (;;) {
    const std::size_t header = in.position();
    const bool final = in.take(1) != 0;
    const uint32_t type = in.take(2);
    if (type == 0) {
      in.align();
      const uint32_t len = in.take(16), nlen = in.take(16);
      if (len != (~nlen & 0xFFFF)) return std::nullopt;
      in.skip(8 * std::size_t{len});
      if (in.overrun()) return std::nullopt;
    } else if (type == 1) {
      if (!skip_symbols(in, fixed.litlen, fixed.distance)) return std::nullopt;
    } else if (type == 2) {
      if (!read_dynamic_codes(in, litlen, distance) || !skip_symbols(in, litlen, distance)) return std::nullopt;
    } else {
      return std::nullopt;
    }
    if (in.overrun()) return std::nullopt;
    if (final) return FinalBlock{header, in.position()};
  }
}

std::size_t make_non_final(uint8_t* data, std::size_t size, FinalBlock last) {
  data[last.header_bit >> 3] &= static_cast<uint8_t>(~(1u << (last.header_bit & 7)));
  // The stored block's three header bits and the padding to the byte boundary are all zero.
  const std::size_t end = last.end_bit;
  const std::size_t aligned = (end + 3 + 7) / 8;
  const std::size_t byte = end >> 3;
  const auto keep = static_cast<uint8_t>((1u << (end & 7)) - 1);
  data[byte] = byte < size ? static_cast<uint8_t>(data[byte] & keep) : 0;
  for (std::size_t b = byte + 1; b < aligned; ++b) data[b] = 0;
  static constexpr uint8_t EMPTY_STORED[4] = {0x00, 0x00, 0xFF, 0xFF};  // LEN 0 and its complement
  std::memcpy(data + aligned, EMPTY_STORED, 4);
  return aligned + 4;
}

uint32_t adler32_combine(uint32_t adler_a, uint32_t adler_b, std::size_t length_b) {
  constexpr uint32_t BASE = 65521;
  const auto rem = static_cast<uint32_t>(length_b % BASE);
  uint64_t sum1 = adler_a & 0xFFFF;
  uint64_t sum2 = (uint64_t{rem} * sum1) % BASE;
  sum1 += (adler_b & 0xFFFF) + BASE - 1;
  sum2 += (adler_a >> 16) + (adler_b >> 16) + BASE - rem;
  sum1 %= BASE;
  sum2 %= BASE;
  return static_cast<uint32_t>(sum1 | sum2 << 16);
}

}  // namespace qf::deflate
