// What kind of change one cluster is, read from the pixels of both images inside its box: content added on a
// flat background, content removed from it, the same shapes recoloured, content moved by a few pixels, or any
// other change. Deterministic, and cheap: a box is read a few times at most, and large boxes on a sparse grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/types.hpp"

namespace qf {

enum class ChangeKind : uint8_t { Added, Removed, Recoloured, Moved, Content };
std::string_view change_kind_name(ChangeKind kind);

// The kind of one change; for Moved, where the baseline content of the box went: current = baseline + (dx, dy).
struct ChangeClass {
  ChangeKind kind = ChangeKind::Content;
  int32_t dx = 0, dy = 0;
  friend bool operator==(const ChangeClass&, const ChangeClass&) = default;
};

// Colour distances are the largest difference of the four 8-bit channels (R, G, B, A).
struct ClassifyOptions {
  // Two pixels are the same colour when no channel differs by more than this.
  uint8_t same = 8;
  // A pixel is background when within this of the box's background colour; a box is flat in an image when at
  // most `flat_share` of its pixels are not.
  uint8_t flat_tolerance = 24;
  double flat_share = 0.005;
  // A pixel is on an edge when its right or lower neighbour (inside the box) differs by more than this.
  uint8_t edge_contrast = 32;
  // Recoloured: the edges of both crops agree on at least this share of the pixels on an edge in either, and
  // the colour map (each baseline colour to the current colour most of its pixels became) explains at least
  // `map_all` of the box and `map_changed` of its differing pixels, within `same`.
  double edge_agreement = 0.9;
  double map_all = 0.97;
  double map_changed = 0.9;
  // Moved: offsets up to `search` pixels in each direction. Each differing pixel of the box is checked twice: its
  // baseline colour found at the offset in the current image, its current colour found at minus the offset in
  // the baseline. The best offset must miss at most `move_residual` of these checks. (A box may hold only part
  // of what moved, such as one edge of a button, so the content inside it need not keep its amount.)
  int32_t search = 16;
  double move_residual = 0.1;
  // Boxes with more pixels than this are read on a regular grid of about this many pixels.
  std::size_t max_samples = std::size_t{1} << 16;
};

// An RGBA image: width × height pixels, 4 bytes each, rows packed.
struct RgbaView {
  ByteView data;
  std::size_t width = 0, height = 0;
};

struct PixelBox {
  std::size_t x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const PixelBox&, const PixelBox&) = default;
};

// The kind of the change inside `box` (clipped to the images). Both images must have the same size, the current
// one placed on the baseline's coordinates (with any shift already taken out). A box with no pixels inside the
// images, or where no pixel differs, is Content.
ChangeClass classify_change(const RgbaView& baseline, const RgbaView& current, PixelBox box,
                            const ClassifyOptions& options = {});

// Every box, in order.
std::vector<ChangeClass> classify_changes(const RgbaView& baseline, const RgbaView& current,
                                          std::span<const PixelBox> boxes, const ClassifyOptions& options = {});

// The element that names a change: the smallest (by area; the first listed on a tie) of `elements` whose box,
// grown by `slack` pixels on every side, holds `change`; none when no element holds it or the change is empty.
std::optional<std::size_t> naming_element(PixelBox change, std::span<const PixelBox> elements,
                                          std::size_t slack = 2);

// The part of a change's box an element must hold: for a move, the content's place in the current image (the
// box without the strip the content left); for any other kind, the whole box.
PixelBox named_part(PixelBox change, const ChangeClass& kind);

}  // namespace qf
