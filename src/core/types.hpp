// Plain records every subsystem shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "core/buffer_pool.hpp"

namespace qf {

static_assert(sizeof(std::size_t) == 8, "quillfen assumes a 64-bit size_t");

using Bytes = std::vector<uint8_t, PooledAllocator<uint8_t>>;
using ByteView = std::span<const uint8_t>;

// width × height pixels of 8-bit R, G, B, A, row-major, rows packed without gaps.
struct RgbaImage {
  std::size_t width = 0;
  std::size_t height = 0;
  Bytes data;
};

// Byte-for-byte equality in one memory comparison; empty views (whose data may be null) are equal.
inline bool same_bytes(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

}  // namespace qf
