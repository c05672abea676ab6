// Lossless WebP thumbnails: Lanczos3 downscaling to a width, optional top crop, or a top-left crop when
// scaling would fall below a minimum size.
#pragma once

#include <optional>
#include <utility>

#include "core/error.hpp"
#include "core/types.hpp"

namespace qf {

struct ThumbnailRequest {
  std::size_t width = 200;
  std::optional<std::size_t> height;
  std::optional<std::size_t> min_width;
  std::optional<std::size_t> min_height;
};

Result<Bytes> make_thumbnail(ByteView rgba, std::size_t width, std::size_t height, const ThumbnailRequest& request);

// The size the thumbnail scales a w × h source to before any crop: `request_width` × h / w rounded half away
// from zero (at least 1) when w is wider, else the source size (no upscaling). w and h must be > 0.
std::pair<std::size_t, std::size_t> scaled_size(std::size_t w, std::size_t h, std::size_t request_width);

// For each row r < crop_h, the first crop_w pixels of source row r. Needs crop_w <= w and crop_h rows in rgba.
Bytes crop_top_left(ByteView rgba, std::size_t w, std::size_t crop_w, std::size_t crop_h);

// RGB of every pixel (alpha dropped) as a lossless WebP file, encoded at the fastest lossless effort.
Result<Bytes> encode_webp(ByteView rgba, std::size_t width, std::size_t height);

}  // namespace qf
