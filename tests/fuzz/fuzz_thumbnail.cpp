// The module's thumbnail path: decode, scale or crop, encode as lossless WebP.
//
// The first four bytes are the request (width, height, min_width, min_height; a zero byte leaves an optional
// field unset, and a width byte of 0 asks for the refused width 0); the rest is the PNG file.
#include <webp/decode.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "image_io/png.hpp"
#include "image_io/thumbnail.hpp"

namespace {

// Larger sources are only decoded: resampling them under the sanitizers would slow the run down for no new paths.
constexpr std::size_t RESIZE_PIXEL_LIMIT = 1 << 18;

void check(bool condition) {
  if (!condition) std::abort();
}

std::optional<std::size_t> optional_side(uint8_t byte) {
  if (byte == 0) return std::nullopt;
  return byte;
}

struct Expected {
  std::size_t width, height;
  bool resampled;
};

// Scaled to the request's width (rounded half away from zero, at least one row) unless already narrower, then
// cut to its height; or, when scaling would go below a minimum, the unscaled top-left corner.
Expected expected(std::size_t w, std::size_t h, const qf::ThumbnailRequest& r) {
  std::size_t scaled_w = w, scaled_h = h;
  if (w > r.width) {
    scaled_w = r.width;
    scaled_h = std::max<long long>(1, std::llround(static_cast<double>(r.width) * h / w));
  }
  if ((r.min_width && scaled_w < *r.min_width) || (r.min_height && scaled_h < *r.min_height))
    return {std::min(r.width, w), r.height ? std::min(*r.height, h) : h, false};
  return {scaled_w, r.height ? std::min(*r.height, scaled_h) : scaled_h, w > r.width};
}

// The WebP holds the RGB of the source's top-left width × height pixels.
void check_corner(const qf::Bytes& webp, const qf::RgbaImage& source, std::size_t width, std::size_t height) {
  int w = 0, h = 0;
  uint8_t* rgb = WebPDecodeRGB(webp.data(), webp.size(), &w, &h);
  check(rgb != nullptr);
  for (std::size_t y = 0; y < height; ++y)
    for (std::size_t x = 0; x < width; ++x)
      for (std::size_t k = 0; k < 3; ++k)
        if (rgb[(y * width + x) * 3 + k] != source.data[(y * source.width + x) * 4 + k]) std::abort();
  WebPFree(rgb);
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
  if (!webp) {
    // A decodable image and a valid request can only fail at the encoder's size limits.
    check(request.width == 0 || image->width == 0 || image->height == 0 ||
          webp.error().kind == qf::ErrorKind::EncodeWebp);
    return 0;
  }
  // A lossless WebP file ("RIFF", its size, "WEBP", one VP8L chunk) of the size the request asks for.
  const Expected e = expected(image->width, image->height, request);
  int w = 0, h = 0;
  check(webp->size() >= 20 && std::memcmp(webp->data(), "RIFF", 4) == 0 &&
        std::memcmp(webp->data() + 8, "WEBPVP8L", 8) == 0 && WebPGetInfo(webp->data(), webp->size(), &w, &h));
  check(static_cast<std::size_t>(w) == e.width && static_cast<std::size_t>(h) == e.height);
  if (!e.resampled) check_corner(*webp, *image, e.width, e.height);
  return 0;
}
