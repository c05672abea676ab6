// Row keys of column bands for the layout analysis. The analysis keys the rows of many bands, each over both
// images, so its keys take a multiply-rotate hash of 8-byte words on four lanes (several times faster than the
// row alignment's SipHash). Keys are only ever compared with keys made here, for equality; fully transparent pixels count as
// four zero bytes, as in the row alignment.
#include <algorithm>
#include <cstring>

#include "core/parallel.hpp"
#include "layout/regions.hpp"

namespace qf {

namespace {

constexpr uint64_t P1 = 0x9E3779B185EBCA87ull, P2 = 0xC2B2AE3D27D4EB4Full, P3 = 0x165667B19E3779F9ull;

inline uint64_t rotl(uint64_t v, int r) { return (v << r) | (v >> (64 - r)); }

inline uint64_t round(uint64_t lane, uint64_t v) { return rotl(lane + v * P2, 31) * P1; }

// The key of n bytes: four lanes of 8-byte words, the last block padded with zeros, the length mixed in.
uint64_t hash_bytes(const uint8_t* p, std::size_t n) {
  uint64_t a = P1 + P2, b = P2, c = 0, d = 0 - P1;
  std::size_t i = 0;
  auto word = [&](const uint8_t* q) {
    uint64_t v;
    std::memcpy(&v, q, 8);
    return v;
  };
  for (; i + 32 <= n; i += 32) {
    a = round(a, word(p + i));
    b = round(b, word(p + i + 8));
    c = round(c, word(p + i + 16));
    d = round(d, word(p + i + 24));
  }
  if (i < n) {
    uint8_t last[32] = {};
    std::memcpy(last, p + i, n - i);
    a = round(a, word(last));
    b = round(b, word(last + 8));
    c = round(c, word(last + 16));
    d = round(d, word(last + 24));
  }
  uint64_t h = rotl(a, 1) + rotl(b, 7) + rotl(c, 12) + rotl(d, 18) + n * P3;
  h ^= h >> 33;
  h *= P2;
  h ^= h >> 29;
  h *= P3;
  h ^= h >> 32;
  return h;
}

// Whether any of the pixels [x0, x1) of a row is fully transparent; a block at a time, without a branch inside.
bool any_clear(const uint8_t* row, std::size_t x0, std::size_t x1) {
  for (std::size_t i = x0; i < x1; i += 64) {
    const std::size_t end = std::min(x1, i + 64);
    uint32_t clear = 0;
    for (std::size_t k = i; k < end; ++k) clear += row[4 * k + 3] == 0;
    if (clear) return true;
  }
  return false;
}

}  // namespace

std::vector<RowKey> layout_row_keys(ByteView canvas, std::size_t width, std::size_t rows, std::size_t x0,
                                    std::size_t x1, const std::vector<uint8_t>* keep) {
  if (x0 >= x1 || x1 > width) throw InternalFault("layout_row_keys: empty or out-of-canvas column range");
  const std::size_t row_bytes = width * 4;
  if (rows > canvas.size() / row_bytes) throw InternalFault("layout_row_keys: canvas shorter than its rows");
  // The kept columns as runs.
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t x = x0; x < x1; ++x) {
    if (keep && !(*keep)[x]) continue;
    if (!runs.empty() && runs.back().second == x) runs.back().second = x + 1;
    else runs.push_back({x, x + 1});
  }
  std::size_t kept = 0;
  for (const auto& r : runs) kept += r.second - r.first;
  std::vector<RowKey> keys(rows);
  const std::size_t grain = std::max<std::size_t>(1, ROW_KEY_GRAIN_BYTES / std::max<std::size_t>(1, kept * 4));
  par::for_each_range(rows, grain, [&](std::size_t begin, std::size_t end) {
    Bytes scratch;
    for (std::size_t y = begin; y < end; ++y) {
      const uint8_t* row = canvas.data() + y * row_bytes;
      bool clear = false;
      for (const auto& r : runs) clear = clear || any_clear(row, r.first, r.second);
      if (runs.size() == 1 && !clear) {
        keys[y] = hash_bytes(row + 4 * runs[0].first, kept * 4);
        continue;
      }
      // The kept pixels gathered, transparent ones as four zero bytes.
      scratch.resize(kept * 4);
      uint8_t* out = scratch.data();
      for (const auto& r : runs) {
        std::memcpy(out, row + 4 * r.first, (r.second - r.first) * 4);
        out += (r.second - r.first) * 4;
      }
      if (clear)
        for (std::size_t i = 0; i < scratch.size(); i += 4)
          if (scratch[i + 3] == 0) std::memset(scratch.data() + i, 0, 4);
      keys[y] = hash_bytes(scratch.data(), scratch.size());
    }
  });
  return keys;
}

}  // namespace qf
