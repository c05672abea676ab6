#include "alignment/siphash.hpp"

#include <bit>
#include <cstring>

namespace qf {

namespace {

struct State {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void compress(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

// Little-endian load regardless of the host order.
uint64_t load_le(const uint8_t* p) {
  uint64_t m;
  std::memcpy(&m, p, 8);
  if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
  return m;
}

}  // namespace

uint64_t siphash13(const SipKey& key, ByteView data) {
  State s{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull, key.k0 ^ 0x6c7967656e657261ull,
          key.k1 ^ 0x7465646279746573ull};
  const std::size_t n = data.size();
  const uint8_t* p = data.data();
  const std::size_t blocks = n / 8;
  for (std::size_t i = 0; i < blocks; ++i) s.compress(load_le(p + i * 8));
  uint64_t last = static_cast<uint64_t>(n) << 56;
  const std::size_t tail = n % 8;
  for (std::size_t i = 0; i < tail; ++i) last |= static_cast<uint64_t>(p[blocks * 8 + i]) << (8 * i);
  s.compress(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace qf
