// Overflow-checked size arithmetic. Every allocation sized from caller input goes through these first.
#pragma once

#include <cstdint>
#include <optional>

#include "core/error.hpp"
#include "core/types.hpp"

namespace qf {

// Largest pixel count whose RGBA byte count (× 4) still fits in 64 bits.
inline constexpr uint64_t MAX_PIXELS = 0x3FFF'FFFF'FFFF'FFFFull;

inline std::optional<uint64_t> checked_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

inline std::optional<uint64_t> checked_add(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

// width × height, or DimensionsOverflow when the product or its RGBA byte count does not fit.
inline Result<uint64_t> pixel_count(uint64_t width, uint64_t height) {
  auto n = checked_mul(width, height);
  if (!n || *n > MAX_PIXELS) return err::dimensions_overflow();
  return *n;
}

// The checks every RGBA routine starts with: size overflow, then the buffer length.
inline Status check_rgba(std::size_t length, uint64_t width, uint64_t height) {
  auto n = pixel_count(width, height);
  if (!n) return n.error();
  if (length != *n * 4) return err::invalid_buffer_length(*n * 4, length, width, height);
  return std::nullopt;
}

}  // namespace qf
