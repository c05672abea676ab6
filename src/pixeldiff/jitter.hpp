// Rendering jitter: differences that a move of at most a few pixels explains. Text and edges drawn at a slightly
// different (sub-pixel) position change many edge pixels without any change of content; under a jitter radius
// r > 0 such Different pixels are set apart and counted on their own instead of as changes.
//
// The rule, exact and in integers: a Different pixel p is jitter when every channel (R, G, B, A) of the current
// pixel lies within the range of that channel over the baseline's (2r + 1) x (2r + 1) neighbourhood of p (clipped
// to the canvas) widened on both sides by JITTER_LEVELS plus a third of that range, and the same holds for the
// baseline pixel against the current image's neighbourhood. A move of at most r pixels, whole or sub-pixel, only
// brings in colours found (or blended from those found) within r pixels in the other image; content that
// appeared, went away or changed colour brings in a colour found nowhere near, in one direction or the other.
// The widening by a share of the range covers the other direction of a sub-pixel move: a one-pixel line drawn a
// quarter pixel lower spreads over two rows, and its full-strength colour then exists nowhere in the other image,
// though it lies within a third of the range of the blended rows beyond their darkest.
//
// Within r pixels of the canvas edge the rule holds in either direction (see explained_by_move).
//
// What it can hide: a change confined to pixels whose neighbourhood already spans the colours involved, such as
// a glyph that differs from another only by a one-pixel feature, a line moved by one pixel, or a grey text
// recoloured to a nearby grey; a word replaced by another in the same colours keeps most but not all of its
// pixels (see the README for measured shares).
#pragma once

#include <cstdint>

#include "core/error.hpp"
#include "core/options.hpp"
#include "core/types.hpp"

namespace qf {

// How far, in channel levels, the neighbourhood range is widened: absorbs the rounding of blended edge colours.
inline constexpr int JITTER_LEVELS = 16;
// The range of the neighbourhood is widened by 1 / JITTER_SPREAD of itself as well.
inline constexpr int JITTER_SPREAD = 3;
// The largest radius accepted; larger moves are shifts, not jitter.
inline constexpr unsigned MAX_JITTER = 4;
inline constexpr const char* JITTER_RANGE_MESSAGE = "jitter must be in the range [0, 4]";

// Whether the pixel (x, y) of `b` lies within the widened range of `a`'s neighbourhood of radius r, in every
// channel. Both images are width x height RGBA.
bool within_neighbourhood(const uint8_t* a, const uint8_t* b, std::size_t x, std::size_t y, std::size_t width,
                          std::size_t height, unsigned r);

// Whether a Different pixel is explained by a move of at most r pixels (the rule above). Within r pixels of the
// canvas edge one direction is enough: there content moves in from beyond the capture, or out of it, and what
// it brings or takes has no counterpart inside the other image's frame.
inline bool explained_by_move(const uint8_t* baseline, const uint8_t* current, std::size_t x, std::size_t y,
                              std::size_t width, std::size_t height, unsigned r) {
  const bool forward = within_neighbourhood(baseline, current, x, y, width, height, r);
  const bool edge = x < r || y < r || x + r >= width || y + r >= height;
  if (!forward && !edge) return false;
  const bool backward = within_neighbourhood(current, baseline, x, y, width, height, r);
  return edge ? forward || backward : backward;
}

struct JitterCounts {
  uint64_t diff_pixels = 0;    // Different pixels no move explains: the changes
  uint64_t jitter_pixels = 0;  // Different pixels a move explains
};

// The Different pixels of count_diffs split by the rule. With r = 0 nothing is jitter and diff_pixels is
// count_diffs' count.
Result<JitterCounts> count_jitter(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                                  const DiffOptions& options, unsigned r);

// One byte per canvas pixel: 1 for a Different pixel that counts, 2 for a jitter pixel, 0 otherwise.
inline constexpr uint8_t MASK_DIFFERENT = 1;
inline constexpr uint8_t MASK_JITTER = 2;
struct JitterMask {
  std::size_t width = 0, height = 0;
  Bytes classes;
  JitterCounts counts;
};
// Marks MASK_JITTER on the Different pixels of `mask` (width x height bytes, MASK_DIFFERENT where a pixel
// counts, as a count marks them) that a move of at most r pixels explains; returns how many it marked. The two
// images are width x height RGBA. With r = 0 nothing is marked.
uint64_t mark_jitter(ByteView baseline, ByteView current, std::size_t width, std::size_t height, Bytes& mask,
                     unsigned r);

Result<JitterMask> build_jitter_mask(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                                     const DiffOptions& options, unsigned r);

}  // namespace qf
