// PNG decoding into 8-bit RGBA and encoding of 8-bit RGB diff images: our own reader and writer over libdeflate.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "core/error.hpp"
#include "core/types.hpp"

namespace qf {

// Largest decoded image, in the file's native sample layout, that decode_png accepts.
inline constexpr uint64_t PNG_DECODE_LIMIT = 536870912;  // 512 MiB

// What the signature and the IHDR chunk say, checked as the decoder checks them (chunk length, type and CRC, every
// field), without reading further: cheap enough to check a size limit before anything is decoded.
struct PngHeader {
  uint32_t width = 0, height = 0;
  uint8_t depth = 0, colour = 0;
  bool interlaced = false;
};
Result<PngHeader> read_png_header(ByteView png);

// The reader in steps, for callers that allocate the decoded image themselves once the file has been checked.
// open() walks the chunks and checks everything up to the image data (the memory limit included) without
// allocating anything the size of the image; the reader points into the file, which must outlive it.
class PngReader {
 public:
  static Result<PngReader> open(ByteView png);
  PngReader(PngReader&&) noexcept;
  PngReader& operator=(PngReader&&) noexcept;
  ~PngReader();

  std::size_t width() const;
  std::size_t height() const;
  std::size_t rgba_size() const;      // width * height * 4
  std::size_t filtered_size() const;  // the inflated image data: filtered rows, per Adam7 pass when interlaced
  // True when a buffer of `capacity` bytes can hold the filtered rows and the RGBA at once.
  bool in_place(std::size_t capacity) const;

  // Decodes into `out`, `capacity` >= rgba_size() bytes, the RGBA at its front. `out` need not be initialised;
  // the stream is inflated before any RGBA is written, and a corrupt stream leaves untouched what it did not
  // inflate into. Checks for cancellation between rows (par::check_cancelled).
  Status decode_into(uint8_t* out, std::size_t capacity) const;
  // The two steps of decode_into: the image data inflated into `filtered` (filtered_size() bytes), then unfiltered
  // and expanded into `out` (rgba_size() bytes; `filtered` may be its tail when in_place()).
  Status inflate_into(uint8_t* filtered) const;
  Status expand(const uint8_t* filtered, uint8_t* out) const;

 private:
  struct File;
  friend Result<RgbaImage> decode_png(ByteView png);
  explicit PngReader(std::unique_ptr<const File> file);
  std::unique_ptr<const File> file_;
};

// Any PNG (every colour type and bit depth, palette and tRNS, Adam7) → 8-bit RGBA; 16-bit samples rounded.
Result<RgbaImage> decode_png(ByteView png);

// Both files decoded as the two halves of one fork–join on the pool; the baseline's error wins when both fail.
// Byte-identical files are decoded once.
Result<std::pair<RgbaImage, RgbaImage>> decode_png_pair(ByteView baseline, ByteView current);

// RGBA → PNG file of colour type 2, bit depth 8 (alpha dropped), a filter chosen for each row, deflated by
// libdeflate. Segments of rows are filtered and deflated on the pool; the bytes do not depend on the thread
// count.
Result<Bytes> encode_png(ByteView rgba, std::size_t width, std::size_t height);

// Paints rows [begin, end) of an image as RGB (3 × width bytes a row) into `rgb` and returns a number for
// them that the encoder sums over the image. Called on pool workers at the same time for disjoint rows: for
// each row once as part of its segment, and possibly once more as the row above another segment (that number
// is dropped).
using RowPainter = std::function<uint64_t(std::size_t begin, std::size_t end, uint8_t* rgb)>;
struct PaintedPng {
  Bytes png;
  uint64_t painted = 0;  // the sum of the painter's numbers over the rows
};
// encode_png of the image that `paint` draws, a segment at a time: the whole image is never held at once.
Result<PaintedPng> encode_png_rows(std::size_t width, std::size_t height, const RowPainter& paint);

}  // namespace qf
