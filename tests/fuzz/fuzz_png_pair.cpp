// The PNG constructor's path: both files decoded as one fork–join (or once, when they are the same bytes), then
// the common canvas, then a count.
//
// The input is one PNG file, used as both images, or two files back to back: the current file starts at the
// second PNG signature. Seeds of either shape let the fuzzer recombine whole files.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/image_pair.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "pixeldiff/pixeldiff.hpp"

namespace {

constexpr uint8_t SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// Canvases up to this size are also compared, so the pair is used and not only built.
constexpr std::size_t COUNT_PIXEL_LIMIT = 1 << 16;

void check(bool condition) {
  if (!condition) std::abort();
}

bool same_image(const qf::RgbaImage& a, const qf::RgbaImage& b) {
  return a.width == b.width && a.height == b.height && a.data == b.data;
}

void check_decoded(const qf::RgbaImage& image) {
  check(!qf::check_rgba(image.data.size(), image.width, image.height));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const qf::ByteView input(data, size);
  auto second = std::search(input.begin() + std::min<std::size_t>(size, 8), input.end(), std::begin(SIGNATURE),
                            std::end(SIGNATURE));
  const std::size_t split = static_cast<std::size_t>(second - input.begin());
  const qf::ByteView baseline = input.first(split);
  const qf::ByteView current = split == size ? input : input.subspan(split);

  auto images = qf::decode_png_pair(baseline, current);
  // The pair is the two files decoded on their own, the baseline's error first.
  auto alone_b = qf::decode_png(baseline);
  auto alone_c = qf::decode_png(current);
  if (!images) {
    const qf::CompareError& e = images.error();
    check(e.kind == qf::ErrorKind::DecodePng && e.message.rfind("failed to decode PNG: ", 0) == 0);
    check(!alone_b ? e.message == alone_b.error().message : !alone_c && e.message == alone_c.error().message);
    return 0;
  }
  auto& [b, c] = *images;
  check(alone_b && alone_c && same_image(b, *alone_b) && same_image(c, *alone_c));
  check_decoded(b);
  check_decoded(c);
  auto pair = qf::make_image_pair(std::move(b.data), b.width, b.height, std::move(c.data), c.width, c.height);
  check(pair.ok());
  const qf::ImagePair& p = *pair;
  check(p.canvas_width == std::max(p.baseline_width, p.current_width));
  check(p.canvas_height == std::max(p.baseline_height, p.current_height));
  if (p.canvas_width * p.canvas_height <= COUNT_PIXEL_LIMIT) {
    auto count = qf::count_diffs(p.baseline, p.current, p.canvas_width, p.canvas_height, qf::DiffOptions{});
    check(count.ok() && *count <= p.canvas_width * p.canvas_height);
    if (split == size) check(*count == 0);  // one file against itself
  }
  return 0;
}
