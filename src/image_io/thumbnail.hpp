// Lossless WebP thumbnails: Lanczos3 downscaling to a width, optional top crop, or a top-left crop when
// scaling would fall below a minimum size.
#pragma once

#include <optional>

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

// RGB of every pixel (alpha dropped) as a lossless WebP file with the encoder's default settings.
Result<Bytes> encode_webp(ByteView rgba, std::size_t width, std::size_t height);

}  // namespace qf
