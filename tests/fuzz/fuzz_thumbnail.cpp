// The module's thumbnail path: decode, scale or crop, encode as lossless WebP.
//
// The first four bytes are the request (width, height, min_width, min_height; a zero byte leaves an optional
// field unset, and a width byte of 0 asks for the refused width 0); the rest is the PNG file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "image_io/png.hpp"
#include "image_io/thumbnail.hpp"

namespace {

// Larger sources are only decoded: resampling them under the sanitizers would slow the run down for no new paths.
constexpr std::size_t RESIZE_PIXEL_LIMIT = 1 << 18;

std::optional<std::size_t> optional_side(uint8_t byte) {
  if (byte == 0) return std::nullopt;
  return byte;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  qf::ThumbnailRequest request;
  request.width = data[0];
  request.height = optional_side(data[1]);
  request.min_width = optional_side(data[2]);
  request.min_height = optional_side(data[3]);

  auto image = qf::decode_png(qf::ByteView(data + 4, size - 4));
  if (!image || image->width * image->height > RESIZE_PIXEL_LIMIT) return 0;
  auto webp = qf::make_thumbnail(image->data, image->width, image->height, request);
  if (webp) {
    // A lossless WebP file: "RIFF", its size, "WEBP", one VP8L chunk.
    if (webp->size() < 20 || std::memcmp(webp->data(), "RIFF", 4) != 0 ||
        std::memcmp(webp->data() + 8, "WEBPVP8L", 8) != 0)
      std::abort();
  } else if (request.width != 0 && image->width != 0 && image->height != 0 &&
             webp.error().kind != qf::ErrorKind::EncodeWebp) {
    std::abort();  // a decodable image and a valid request can only fail at the encoder's size limits
  }
  return 0;
}
