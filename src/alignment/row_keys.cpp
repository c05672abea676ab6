#include <algorithm>
#include <bit>
#include <cstring>

#include "alignment/alignment.hpp"
#include "alignment/siphash.hpp"
#include "core/parallel.hpp"

namespace qf {

namespace {

// The alpha of each pixel word (little-endian R, G, B, A), tested a block of pixels at a time without a
// branch inside the block, so the test vectorises: every row of a capture is scanned before it is hashed.
bool has_clear_pixel(ByteView row) {
  static_assert(std::endian::native == std::endian::little, "pixel words are read little-endian");
  constexpr std::size_t BLOCK = 64;
  const std::size_t n = row.size() / 4;
  for (std::size_t i = 0; i < n; i += BLOCK) {
    const std::size_t end = std::min(n, i + BLOCK);
    uint32_t clear = 0;
    for (std::size_t k = i; k < end; ++k) {
      uint32_t w;
      std::memcpy(&w, row.data() + 4 * k, 4);
      clear += (w >> 24) == 0;
    }
    if (clear) return true;
  }
  return false;
}

// `scratch` is reused across rows so that only rows with transparent pixels pay for a copy, once per task.
RowKey key_with_scratch(ByteView row, Bytes& scratch) {
  if (!has_clear_pixel(row)) return siphash13(ROW_HASH_KEY, row);
  scratch.assign(row.begin(), row.end());
  for (std::size_t i = 0; i < scratch.size(); i += 4)
    if (scratch[i + 3] == 0) std::memset(scratch.data() + i, 0, 4);
  return siphash13(ROW_HASH_KEY, scratch);
}

void put_le(Bytes& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

RowKey row_key(ByteView row) {
  Bytes scratch;
  return key_with_scratch(row, scratch);
}

std::vector<RowKey> row_keys(ByteView canvas, std::size_t width, std::size_t rows) {
  if (width == 0) return {};
  return band_row_keys(canvas, width, rows, 0, width);
}

std::vector<RowKey> band_row_keys(ByteView canvas, std::size_t width, std::size_t rows, std::size_t x0,
                                  std::size_t x1) {
  if (x0 >= x1 || x1 > width) throw InternalFault("band_row_keys: empty or out-of-canvas column range");
  const std::size_t row_bytes = width * 4, band_bytes = (x1 - x0) * 4;
  if (rows > canvas.size() / row_bytes) throw InternalFault("row_keys: canvas shorter than its rows");
  std::vector<RowKey> keys(rows);
  const std::size_t grain = band_bytes >= ROW_KEY_GRAIN_BYTES ? 1 : ROW_KEY_GRAIN_BYTES / band_bytes;
  par::for_each_range(rows, grain, [&](std::size_t begin, std::size_t end) {
    Bytes scratch;
    for (std::size_t r = begin; r < end; ++r)
      keys[r] = key_with_scratch(canvas.subspan(r * row_bytes + x0 * 4, band_bytes), scratch);
  });
  return keys;
}

PairKeys pair_row_keys(const ImagePair& pair) {
  PairKeys keys;
  const std::size_t w = pair.canvas_width;
  keys.baseline = row_keys(pair.baseline, w, pair.baseline_height);
  if (w == 0) return keys;
  const std::size_t rows = pair.current_height, row_bytes = w * 4;
  if (rows > pair.current.size() / row_bytes) throw InternalFault("pair_row_keys: canvas shorter than its rows");
  keys.current.resize(rows);
  const std::size_t shared = std::min(rows, keys.baseline.size());
  const std::size_t grain = row_bytes >= ROW_KEY_GRAIN_BYTES ? 1 : ROW_KEY_GRAIN_BYTES / row_bytes;
  par::for_each_range(rows, grain, [&](std::size_t begin, std::size_t end) {
    Bytes scratch;
    for (std::size_t r = begin; r < end; ++r) {
      const uint8_t* row = pair.current.data() + r * row_bytes;
      if (r < shared && std::memcmp(row, pair.baseline.data() + r * row_bytes, row_bytes) == 0)
        keys.current[r] = keys.baseline[r];
      else
        keys.current[r] = key_with_scratch(ByteView(row, row_bytes), scratch);
    }
  });
  return keys;
}

uint64_t pair_fingerprint(KeyView baseline_keys, KeyView current_keys) {
  Bytes stream;
  stream.reserve((baseline_keys.size() + current_keys.size() + 2) * 8);
  put_le(stream, baseline_keys.size());
  for (RowKey k : baseline_keys) put_le(stream, k);
  put_le(stream, current_keys.size());
  for (RowKey k : current_keys) put_le(stream, k);
  return siphash13(ROW_HASH_KEY, stream);
}

uint64_t fingerprint_of(const ImagePair& pair) {
  return pair.fingerprint.get_or_init([&] {
    PairKeys keys = pair_row_keys(pair);
    return pair_fingerprint(keys.baseline, keys.current);
  });
}

void seed_fingerprint(const ImagePair& pair, uint64_t value) { pair.fingerprint.seed(value); }

}  // namespace qf
