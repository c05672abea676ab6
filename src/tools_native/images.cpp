// Image helpers of the product layer: PNG sizes and decoding into caller-visible pixels, RGB expansion, ignored
// regions and thumbnails of decoded images. Pixel buffers arrive through the buffer protocol and are read in
// place.
#include <algorithm>
#include <cstring>

#include "bindings/boundary.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "image_io/thumbnail.hpp"
#include "tools_native/args.hpp"
#include "tools_native/functions.hpp"
#include "tools_native/records.hpp"

namespace qf::tools {
namespace {

const RecordType DECODED{"DecodedImage", "A decoded PNG: 8-bit RGBA pixels, width * height * 4 bytes.",
                         {"pixels", "width", "height"}};

struct DecodeArgs {
  py::BytesArg png;
  bool writable = false;
  std::optional<uint64_t> max_pixels;
};
constexpr auto png = QF_REQUIRED(DecodeArgs, png);
constexpr auto writable = QF_PARAM(DecodeArgs, writable);
constexpr auto max_pixels = QF_PARAM(DecodeArgs, max_pixels);

// ValueError when the PNG's header does not read or says more than `limit` pixels. False with it set.
bool check_header(ByteView png, std::optional<uint64_t> limit) {
  if (!limit) return true;
  auto header = read_png_header(png);
  if (!header) {
    py::raise(header.error());
    return false;
  }
  const uint64_t pixels = uint64_t{header->width} * header->height;
  if (pixels <= *limit) return true;
  PyErr_Format(PyExc_ValueError, "image of %lux%lu = %llu pixels exceeds max_pixels=%llu",
               static_cast<unsigned long>(header->width), static_cast<unsigned long>(header->height),
               static_cast<unsigned long long>(pixels), static_cast<unsigned long long>(*limit));
  return false;
}

PyObject* decode_rgba(PyObject*, DecodeArgs& a) {
  if (!check_header(a.png.view(), a.max_pixels)) return nullptr;
  auto reader = py::call_unlocked([&] { return PngReader::open(a.png.view()); });
  if (!reader) return nullptr;
  // Decoded straight into the object returned, which Python allocates without touching it: no second copy, and a
  // stream found corrupt leaves most of it unwritten.
  const std::size_t n = reader->rgba_size();
  py::Ref pixels(a.writable ? PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n))
                            : PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  if (!pixels) return nullptr;
  char* out = a.writable ? PyByteArray_AsString(pixels.get()) : PyBytes_AsString(pixels.get());
  if (!out) return nullptr;
  auto decoded = py::call_unlocked(
      [&]() -> Result<bool> {
        if (auto e = reader->decode_into(reinterpret_cast<uint8_t*>(out), n)) return *e;
        return true;
      },
      py::WATCHED);
  if (!decoded) return nullptr;
  return DECODED.make({pixels.new_ref(), py::to_py(reader->width()), py::to_py(reader->height())});
}

const RecordType IMAGE_SIZE{"ImageSize", "The size of an image in pixels.", {"width", "height"}};

struct PngArgs {
  py::BytesArg png;
};
constexpr auto png_only = QF_REQUIRED(PngArgs, png);

PyObject* png_size(PyObject*, PngArgs& a) {
  auto header = read_png_header(a.png.view());
  if (!header) {
    py::raise(header.error());
    return nullptr;
  }
  return IMAGE_SIZE.make({py::to_py(header->width), py::to_py(header->height)});
}

struct RgbArgs {
  BufferArg rgb;
  uint64_t width = 0, height = 0;
};
constexpr auto rgb = QF_REQUIRED(RgbArgs, rgb);
constexpr auto rgb_width = QF_REQUIRED(RgbArgs, width);
constexpr auto rgb_height = QF_REQUIRED(RgbArgs, height);

PyObject* rgb_to_rgba(PyObject*, RgbArgs& a) {
  if (!check_pixels(a.rgb, "rgb", a.width, a.height, 3)) return nullptr;
  const std::size_t pixels = a.rgb.size() / 3;
  char* out = nullptr;
  PyObject* result = new_bytes(pixels * 4, &out);
  if (!result) return nullptr;
  const uint8_t* in = a.rgb.bytes().data();
  auto* o = reinterpret_cast<uint8_t*>(out);
  Py_BEGIN_ALLOW_THREADS for (std::size_t p = 0; p < pixels; ++p) {
    o[4 * p] = in[3 * p];
    o[4 * p + 1] = in[3 * p + 1];
    o[4 * p + 2] = in[3 * p + 2];
    o[4 * p + 3] = 255;
  }
  Py_END_ALLOW_THREADS return result;
}

struct IgnoreArgs {
  BufferArg current;
  uint64_t current_width = 0, current_height = 0;
  BufferArg baseline;
  uint64_t baseline_width = 0, baseline_height = 0;
  RectsArg rects;
  OptionalBufferArg mask;
  uint64_t mask_width = 0, mask_height = 0;
};
constexpr auto current = QF_REQUIRED(IgnoreArgs, current);
constexpr auto current_width = QF_REQUIRED(IgnoreArgs, current_width);
constexpr auto current_height = QF_REQUIRED(IgnoreArgs, current_height);
constexpr auto baseline = QF_REQUIRED(IgnoreArgs, baseline);
constexpr auto baseline_width = QF_REQUIRED(IgnoreArgs, baseline_width);
constexpr auto baseline_height = QF_REQUIRED(IgnoreArgs, baseline_height);
constexpr auto rects = QF_PARAM(IgnoreArgs, rects);
constexpr auto mask = QF_PARAM(IgnoreArgs, mask);
constexpr auto mask_width = QF_PARAM(IgnoreArgs, mask_width);
constexpr auto mask_height = QF_PARAM(IgnoreArgs, mask_height);

PyObject* apply_ignore(PyObject*, IgnoreArgs& a) {
  const uint64_t cw = a.current_width, ch = a.current_height, bw = a.baseline_width, bh = a.baseline_height;
  if (!check_pixels(a.current, "current", cw, ch, 4) || !check_pixels(a.baseline, "baseline", bw, bh, 4))
    return nullptr;
  const bool has_mask = a.mask.held;
  if (has_mask && !check_pixels(a.mask, "mask", a.mask_width, a.mask_height, 1)) return nullptr;

  char* out = nullptr;
  PyObject* result = new_bytes(a.current.size(), &out);
  if (!result) return nullptr;
  // Only where both images have pixels: elsewhere one side is canvas padding, which is a difference of size.
  const std::size_t w = std::min(cw, bw), h = std::min(ch, bh);
  const uint8_t* cur = a.current.bytes().data();
  const uint8_t* base = a.baseline.bytes().data();
  const uint8_t* m = has_mask ? a.mask.bytes().data() : nullptr;
  const uint64_t mw = a.mask_width, mh = a.mask_height;
  auto* o = reinterpret_cast<uint8_t*>(out);
  Py_BEGIN_ALLOW_THREADS if (a.current.size()) std::memcpy(o, cur, a.current.size());
  for (const Rect& r : a.rects.rects) {
    if (r.x >= w || r.y >= h) continue;
    const std::size_t x1 = r.x + std::min<uint64_t>(r.w, w - r.x), y1 = r.y + std::min<uint64_t>(r.h, h - r.y);
    for (std::size_t y = r.y; y < y1; ++y)
      std::memcpy(o + 4 * (y * cw + r.x), base + 4 * (y * bw + r.x), 4 * (x1 - r.x));
  }
  if (m) {
    const std::size_t mw_ = std::min<uint64_t>(w, mw), mh_ = std::min<uint64_t>(h, mh);
    for (std::size_t y = 0; y < mh_; ++y) {
      const uint8_t* row = m + y * mw;
      for (std::size_t x = 0; x < mw_; ++x)
        if (row[x]) std::memcpy(o + 4 * (y * cw + x), base + 4 * (y * bw + x), 4);
    }
  }
  Py_END_ALLOW_THREADS return result;
}

// The image's size is the args struct's own; the thumbnail's comes from the thumbnail request.
struct RgbaImageArg {
  BufferArg rgba;
  uint64_t width = 0, height = 0;
};
struct ThumbnailArgs : RgbaImageArg, ThumbnailRequest {};
constexpr auto rgba = QF_REQUIRED(RgbaImageArg, rgba);
constexpr auto rgba_width = QF_REQUIRED(RgbaImageArg, width);
constexpr auto rgba_height = QF_REQUIRED(RgbaImageArg, height);
constexpr auto thumbnail_width = py::Param{"thumbnail_width", &ThumbnailRequest::width, true};
constexpr auto thumbnail_height = py::Param{"thumbnail_height", &ThumbnailRequest::height, false};

PyObject* thumbnail_rgba(PyObject*, ThumbnailArgs& a) {
  const RgbaImageArg& image = a;
  const ThumbnailRequest& request = a;
  if (!check_pixels(image.rgba, "rgba", image.width, image.height, 4)) return nullptr;
  return py::result_or_null(
      py::call_unlocked([&] { return make_thumbnail(image.rgba.bytes(), image.width, image.height, request); }),
      py::take_bytes);
}

// PNG encoding of RGBA pixels with the engine's writer, for the product layer's own images (screenshots that
// arrive decoded and are stored as baselines, the demo's pages).
struct EncodeArgs : RgbaImageArg {};

PyObject* encode_png(PyObject*, EncodeArgs& a) {
  const RgbaImageArg& image = a;
  if (!check_pixels(image.rgba, "rgba", image.width, image.height, 4)) return nullptr;
  return py::result_or_null(
      py::call_unlocked([&] { return qf::encode_png(image.rgba.bytes(), image.width, image.height); }),
      py::take_bytes);
}

const py::Entry entries[] = {
    py::function<"decode_rgba", decode_rgba, png, writable, max_pixels>(
        "Decode a PNG file (bytes) into 8-bit RGBA. Returns a DecodedImage (pixels, width, height); pixels is\n"
        "bytes, or a bytearray when `writable`. With max_pixels, an image whose header gives more pixels\n"
        "(width * height) is refused before anything is allocated for it."),
    py::function<"png_size", png_size, png_only>(
        "The (width, height) of a PNG file as an ImageSize, from its signature and header chunk alone (both\n"
        "checked); nothing is decoded."),
    py::function<"rgb_to_rgba", rgb_to_rgba, rgb, rgb_width, rgb_height>(
        "Expand a buffer of width * height RGB pixels into opaque RGBA bytes."),
    py::function<"apply_ignore", apply_ignore, current, current_width, current_height, baseline, baseline_width,
                 baseline_height, rects, mask, mask_width, mask_height>(
        "A copy of the current RGBA image with the baseline's pixels inside the ignored regions: the rectangles\n"
        "(x, y, width, height) and the non-zero bytes of the mask (mask_width * mask_height bytes, one per pixel),\n"
        "where both images have pixels. Returns bytes."),
    py::function<"thumbnail_rgba", thumbnail_rgba, rgba, rgba_width, rgba_height, thumbnail_width,
                 thumbnail_height>(
        "A lossless WebP thumbnail of an RGBA image, scaled down to thumbnail_width and, when thumbnail_height\n"
        "is given, cropped at the top to that height. Returns bytes."),
    py::function<"encode_png", encode_png, rgba, rgba_width, rgba_height>(
        "An RGBA image (width * height * 4 bytes) as a PNG file (bytes), by the engine's writer."),
};

}  // namespace

std::span<const py::Entry> image_functions() { return entries; }

}  // namespace qf::tools
