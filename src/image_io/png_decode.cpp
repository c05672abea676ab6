// PNG reader: the chunk layout, the image data inflated in one call (libdeflate), the five row filters undone,
// and every colour type and bit depth expanded straight into 8-bit RGBA.
//
// A PNG file is an 8-byte signature followed by chunks, each a 4-byte big-endian length, a 4-byte type, the data
// and a CRC-32 of type and data. IHDR comes first; PLTE and tRNS before the image data; the image data is the
// concatenation of consecutive IDAT chunks, one zlib stream; IEND closes the file. The stream inflates to rows,
// each a filter-type byte and the row's samples packed big-endian, per Adam7 pass when the image is interlaced.
#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "core/parallel.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "image_io/png_rows.hpp"


namespace qf {

namespace {

constexpr uint8_t SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Caps on ancillary chunks, which are skipped but still bounded: one chunk, and all of them together.
constexpr uint64_t ANCILLARY_CHUNK_LIMIT = 64u << 20;
constexpr uint64_t ANCILLARY_TOTAL_LIMIT = 128u << 20;

// Deflate spends at least two bits on a match of at most 258 bytes, so one byte of compressed data inflates to
// at most 4 × 258 bytes: the image data a file carries bounds the image it can hold.
constexpr uint64_t DEFLATE_MAX_RATIO = 1032;

enum Colour : uint8_t { GREY = 0, RGB = 2, PALETTE = 3, GREY_ALPHA = 4, RGBA = 6 };
using png_rows::PAETH;

CompareError fail(std::string_view what) { return err::decode_png(what); }

inline uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

inline uint32_t rgba_word(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  const uint8_t px[4] = {r, g, b, a};
  uint32_t w;
  std::memcpy(&w, px, 4);
  return w;
}

unsigned channels_of(uint8_t colour) {
  switch (colour) {
    case GREY: case PALETTE: return 1;
    case GREY_ALPHA: return 2;
    case RGB: return 3;
    default: return 4;
  }
}

// What the chunks before the image data say about the image.
struct Header {
  uint32_t width = 0, height = 0;
  uint8_t depth = 0, colour = 0;
  bool interlaced = false;

  unsigned channels() const { return channels_of(colour); }
  unsigned bits_per_pixel() const { return channels() * depth; }
  // The distance, in bytes, to the same byte of the pixel on the left (at least 1) that the filters use.
  unsigned filter_distance() const { return std::max(1u, bits_per_pixel() / 8); }
};

struct Png {
  Header header;
  std::array<uint32_t, 256> palette{};  // RGBA words; entries past the PLTE chunk are opaque black
  unsigned palette_entries = 0;
  bool has_palette = false, has_trns = false;
  uint16_t key[3] = {0, 0, 0};  // the transparent grey or RGB value of tRNS
  std::vector<ByteView> image_data;
  uint64_t image_data_bytes = 0;
};

Status read_header(ByteView data, Header& h) {
  if (data.size() != 13) return fail("invalid IHDR chunk length");
  h.width = be32(&data[0]);
  h.height = be32(&data[4]);
  h.depth = data[8];
  h.colour = data[9];
  if (h.width == 0 || h.width > 0x7FFFFFFF) return fail("invalid image width");
  if (h.height == 0 || h.height > 0x7FFFFFFF) return fail("invalid image height");
  bool depth_ok = false;
  switch (h.colour) {
    case GREY: depth_ok = h.depth == 1 || h.depth == 2 || h.depth == 4 || h.depth == 8 || h.depth == 16; break;
    case PALETTE: depth_ok = h.depth == 1 || h.depth == 2 || h.depth == 4 || h.depth == 8; break;
    case RGB: case GREY_ALPHA: case RGBA: depth_ok = h.depth == 8 || h.depth == 16; break;
    default: return fail("invalid colour type");
  }
  if (!depth_ok) return fail("invalid bit depth for the colour type");
  if (data[10] != 0) return fail("unknown compression method");
  if (data[11] != 0) return fail("unknown filter method");
  if (data[12] > 1) return fail("unknown interlace method");
  h.interlaced = data[12] == 1;
  return std::nullopt;
}

Status read_palette(ByteView data, Png& png) {
  if (png.has_palette) return fail("more than one PLTE chunk");
  if (png.has_trns) return fail("PLTE chunk after tRNS");
  const Header& h = png.header;
  // A suggested palette in a truecolour image is allowed and not used; grey images may not have one.
  if (h.colour == GREY || h.colour == GREY_ALPHA) return fail("PLTE chunk in a grey image");
  if (data.empty() || data.size() % 3 != 0 || data.size() > 3 * 256) return fail("invalid PLTE chunk length");
  png.palette_entries = static_cast<unsigned>(data.size() / 3);
  if (h.colour == PALETTE && png.palette_entries > (1u << h.depth))
    return fail("more palette entries than the bit depth allows");
  png.has_palette = true;
  png.palette.fill(rgba_word(0, 0, 0, 255));
  for (unsigned i = 0; i < png.palette_entries; ++i)
    png.palette[i] = rgba_word(data[3 * i], data[3 * i + 1], data[3 * i + 2], 255);
  return std::nullopt;
}

Status read_transparency(ByteView data, Png& png) {
  if (png.has_trns) return fail("more than one tRNS chunk");
  switch (png.header.colour) {
    case GREY:
      if (data.size() != 2) return fail("invalid tRNS chunk length");
      png.key[0] = be16(&data[0]);
      break;
    case RGB:
      if (data.size() != 6) return fail("invalid tRNS chunk length");
      for (int c = 0; c < 3; ++c) png.key[c] = be16(&data[2 * c]);
      break;
    case PALETTE:
      if (!png.has_palette) return fail("tRNS chunk before PLTE");
      if (data.size() > png.palette_entries) return fail("tRNS chunk longer than the palette");
      for (std::size_t i = 0; i < data.size(); ++i) reinterpret_cast<uint8_t*>(&png.palette[i])[3] = data[i];
      break;
    default:
      return std::nullopt;  // an image with an alpha channel has no use for it
  }
  png.has_trns = true;
  return std::nullopt;
}

// Bytes per pixel of the image in the file's own sample layout after palette and low-bit-depth expansion, with an
// alpha channel added for tRNS: what the memory limit is measured in.
std::size_t native_bytes_per_pixel(const Png& png) {
  const Header& h = png.header;
  const std::size_t sample = h.depth == 16 ? 2 : 1;
  switch (h.colour) {
    case GREY: return sample * (png.has_trns ? 2 : 1);
    case RGB: return sample * (png.has_trns ? 4 : 3);
    case PALETTE: return png.has_trns ? 4 : 3;
    case GREY_ALPHA: return sample * 2;
    default: return sample * 4;
  }
}

// Walks the chunks from the signature to IEND, checking every CRC. The image data is not copied: png.image_data
// points into the file. The memory limit is checked when the image data begins, from what the header and the
// chunks before it say.
Status read_chunks(ByteView file, Png& png) {
  if (file.size() < 8 || std::memcmp(file.data(), SIGNATURE, 8) != 0) return fail("not a PNG file (bad signature)");
  std::size_t at = 8;
  uint64_t ancillary = 0;
  bool header_seen = false, data_seen = false, data_ended = false;
  for (;;) {
    if (file.size() - at < 8) return fail(at == file.size() ? "file ends before the IEND chunk" : "file is cut short inside a chunk header");
    const uint32_t length = be32(&file[at]);
    const uint8_t* type = &file[at + 4];
    const std::string name(reinterpret_cast<const char*>(type), 4);
    for (int i = 0; i < 4; ++i)
      if (!((type[i] >= 'A' && type[i] <= 'Z') || (type[i] >= 'a' && type[i] <= 'z'))) return fail("invalid chunk type");
    if (length > 0x7FFFFFFF) return fail("invalid chunk length in " + name);
    if (file.size() - at - 8 < uint64_t{length} + 4) return fail("file is cut short inside the " + name + " chunk");
    const ByteView data = file.subspan(at + 8, length);
    if (be32(&file[at + 8 + length]) != libdeflate_crc32(0, type, 4 + std::size_t{length}))
      return fail("CRC mismatch in the " + name + " chunk");
    at += 12 + std::size_t{length};

    const bool critical = !(type[0] & 0x20);
    if (!header_seen) {
      if (name != "IHDR") return fail("the first chunk is not IHDR");
      if (auto e = read_header(data, png.header)) return e;
      header_seen = true;
      continue;
    }
    if (name == "IDAT") {
      if (data_ended) return fail("IDAT chunks are not consecutive");
      if (!data_seen) {
        if (png.header.colour == PALETTE && !png.has_palette) return fail("missing PLTE chunk in a palette image");
        // The limit is checked before anything the size of the image is allocated.
        auto native = checked_mul(uint64_t{png.header.width} * png.header.height, native_bytes_per_pixel(png));
        if (!native || *native > PNG_DECODE_LIMIT) return fail("Memory limit exceeded");
      }
      data_seen = true;
      if (length > 0) png.image_data.push_back(data);
      png.image_data_bytes += length;
      continue;
    }
    if (data_seen) data_ended = true;
    if (name == "IEND") {
      if (length != 0) return fail("invalid IEND chunk length");
      if (!data_seen) return fail("missing IDAT chunk");
      return std::nullopt;
    }
    if (name == "IHDR") return fail("more than one IHDR chunk");
    if (name == "PLTE") {
      if (data_seen) return fail("PLTE chunk after the image data");
      if (auto e = read_palette(data, png)) return e;
      continue;
    }
    if (name == "tRNS") {
      if (data_seen) return fail("tRNS chunk after the image data");
      if (auto e = read_transparency(data, png)) return e;
      continue;
    }
    if (critical) return fail("unknown critical chunk " + name);
    ancillary += length;
    if (length > ANCILLARY_CHUNK_LIMIT) return fail("ancillary chunk " + name + " too large");
    if (ancillary > ANCILLARY_TOTAL_LIMIT) return fail("ancillary chunks too large in total");
  }
}

// ---- Image layout: one pass, or the seven Adam7 passes, each a small image of its own.

struct Pass {
  uint32_t x0, y0, dx, dy;
  uint64_t width, height;  // in pixels; a pass may be empty
  uint64_t row_bytes;      // packed samples of one row, without the filter-type byte
};

std::vector<Pass> passes_of(const Header& h) {
  static constexpr uint32_t ADAM7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                           {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  std::vector<Pass> out;
  auto add = [&](uint32_t x0, uint32_t y0, uint32_t dx, uint32_t dy) {
    Pass p{x0, y0, dx, dy, 0, 0, 0};
    p.width = h.width > x0 ? (uint64_t{h.width} - x0 + dx - 1) / dx : 0;
    p.height = h.height > y0 ? (uint64_t{h.height} - y0 + dy - 1) / dy : 0;
    p.row_bytes = (p.width * h.bits_per_pixel() + 7) / 8;
    if (p.width > 0 && p.height > 0) out.push_back(p);
  };
  if (!h.interlaced) add(0, 0, 1, 1);
  else
    for (const auto& a : ADAM7) add(a[0], a[1], a[2], a[3]);
  return out;
}

// ---- Expansion of one unfiltered row of `width` pixels into RGBA.

inline uint8_t round16(uint16_t v) { return static_cast<uint8_t>((static_cast<uint32_t>(v) + 128) / 257); }

using png_rows::rgb_to_rgba;
using png_rows::unfilter_for;
using png_rows::UnfilterFn;

struct Expander {
  const Png& png;
  std::array<uint32_t, 256> table{};  // RGBA word of every sample value, for palette and grey up to 8 bits

  explicit Expander(const Png& p) : png(p) {
    const Header& h = p.header;
    if (h.colour == PALETTE) table = p.palette;
    else if (h.colour == GREY && h.depth <= 8) {
      const unsigned top = (1u << h.depth) - 1, scale = 255 / top;
      for (unsigned v = 0; v <= top; ++v) {
        const auto g = static_cast<uint8_t>(v * scale);
        table[v] = rgba_word(g, g, g, p.has_trns && v == p.key[0] ? 0 : 255);
      }
    }
  }

  void operator()(const uint8_t* in, std::size_t width, uint8_t* out) const {
    const Header& h = png.header;
    if (h.colour == PALETTE || (h.colour == GREY && h.depth <= 8)) {
      if (h.depth == 8) {
        for (std::size_t x = 0; x < width; ++x) std::memcpy(out + 4 * x, &table[in[x]], 4);
        return;
      }
      // Samples packed from the most significant bit down.
      const unsigned depth = h.depth, per_byte = 8 / depth, mask = (1u << depth) - 1;
      for (std::size_t x = 0; x < width; ++x) {
        const unsigned shift = 8 - depth * (1 + static_cast<unsigned>(x % per_byte));
        std::memcpy(out + 4 * x, &table[(in[x / per_byte] >> shift) & mask], 4);
      }
      return;
    }
    if (h.depth == 8) {
      switch (h.colour) {
        case GREY_ALPHA:
          for (std::size_t x = 0; x < width; ++x, in += 2, out += 4) out[0] = out[1] = out[2] = in[0], out[3] = in[1];
          return;
        case RGB:
          if (png.has_trns) {
            for (std::size_t x = 0; x < width; ++x, in += 3, out += 4) {
              out[0] = in[0], out[1] = in[1], out[2] = in[2];
              out[3] = in[0] == png.key[0] && in[1] == png.key[1] && in[2] == png.key[2] ? 0 : 255;
            }
          } else {
            rgb_to_rgba(in, width, out);
          }
          return;
        default:
          std::memcpy(out, in, 4 * width);
          return;
      }
    }
    // 16-bit samples, rounded to the nearest 8-bit value; the tRNS key is matched on the full samples.
    for (std::size_t x = 0; x < width; ++x, out += 4) {
      switch (h.colour) {
        case GREY: {
          const uint16_t g = be16(in);
          in += 2;
          out[0] = out[1] = out[2] = round16(g);
          out[3] = png.has_trns && g == png.key[0] ? 0 : 255;
          break;
        }
        case GREY_ALPHA:
          out[0] = out[1] = out[2] = round16(be16(in));
          out[3] = round16(be16(in + 2));
          in += 4;
          break;
        case RGB: {
          const uint16_t r = be16(in), g = be16(in + 2), b = be16(in + 4);
          in += 6;
          out[0] = round16(r), out[1] = round16(g), out[2] = round16(b);
          out[3] = png.has_trns && r == png.key[0] && g == png.key[1] && b == png.key[2] ? 0 : 255;
          break;
        }
        default:
          for (int c = 0; c < 4; ++c) out[c] = round16(be16(in + 2 * c));
          in += 8;
          break;
      }
    }
  }
};

// ---- Inflating.

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// Inflates the image data into exactly `size` bytes at `out`: a stream that ends early, holds more than the image
// or is corrupt (its Adler-32 included) is an error. libdeflate writes the output front to back and touches
// nothing past what the stream has produced, so a stream found corrupt costs no more memory than it inflated.
Status inflate(const Png& png, uint8_t* out, std::size_t size) {
  if (png.image_data.empty()) return fail("the image data is empty");
  Bytes joined;
  ByteView stream = png.image_data.front();
  if (png.image_data.size() > 1) {
    joined.reserve(png.image_data_bytes);
    for (ByteView part : png.image_data) joined.insert(joined.end(), part.begin(), part.end());
    stream = joined;
  }
  std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
  if (!d) throw std::bad_alloc();
  std::size_t used = 0;
  switch (libdeflate_zlib_decompress_ex(d.get(), stream.data(), stream.size(), out, size, &used, nullptr)) {
    case LIBDEFLATE_SUCCESS: return std::nullopt;
    case LIBDEFLATE_SHORT_OUTPUT: return fail("the image data ends before the image is complete");
    case LIBDEFLATE_INSUFFICIENT_SPACE: return fail("the image data holds more than the image");
    default: return fail("corrupt image data stream");
  }
}

// Image data that inflates to at least this much is inflated on a thread of its own (par::run_detached) into a
// block that thread owns, so that Ctrl-C need not wait for the whole inflate (about half a second per 500 MB);
// below it, an inflate takes a few tens of milliseconds at most.
constexpr std::size_t DETACHED_INFLATE_SIZE = 64u << 20;

// The filtered rows of a large image, inflated as above.
Result<std::shared_ptr<uint8_t[]>> inflate_detached(const Png& png, std::size_t size) {
  // The job reads a copy of the stream: the file may be gone by the time an abandoned inflate ends.
  auto stream = std::make_shared<Bytes>();
  stream->reserve(png.image_data_bytes);
  for (ByteView part : png.image_data) stream->insert(stream->end(), part.begin(), part.end());
  return par::run_detached([stream, size]() -> Result<std::shared_ptr<uint8_t[]>> {
    Png only;
    only.image_data.push_back(*stream);
    only.image_data_bytes = stream->size();
    std::shared_ptr<uint8_t[]> out(new uint8_t[size]);  // not initialised: only what the stream holds is touched
    if (auto e = inflate(only, out.get(), size)) return *e;
    return out;
  });
}

// Grows `data` to `size` zeroed bytes a slice at a time, looking for cancellation between slices (zeroing fresh
// memory costs a page fault every 4 KiB: about a second for 2 GB).
void resize_watched(Bytes& data, std::size_t size) {
  constexpr std::size_t SLICE = 8u << 20;
  data.reserve(size);
  while (data.size() < size) {
    par::check_cancelled();
    data.resize(std::min(size, data.size() + SLICE));
  }
}

// A block of the buffer pool, not initialised, returned to the pool when it goes.
class ScratchBlock {
 public:
  explicit ScratchBlock(std::size_t size)
      : size_(size), data_(size ? static_cast<uint8_t*>(buffer_pool::take(size)) : nullptr) {}
  ScratchBlock(const ScratchBlock&) = delete;
  ~ScratchBlock() {
    if (data_) buffer_pool::give(data_, size_);
  }
  uint8_t* data() const { return data_; }

 private:
  std::size_t size_;
  uint8_t* data_;
};

// Rows between two looks for a cancellation while rows are unfiltered and expanded: about a megabyte of output.
std::size_t rows_per_check(const Header& h) { return std::max<std::size_t>(1, (1u << 20) / (4 * std::size_t{h.width})); }

}  // namespace

struct PngReader::File {
  Png png;
  std::vector<Pass> passes;
  std::size_t filtered_size = 0;
};

PngReader::PngReader(std::unique_ptr<const File> file) : file_(std::move(file)) {}
PngReader::PngReader(PngReader&&) noexcept = default;
PngReader& PngReader::operator=(PngReader&&) noexcept = default;
PngReader::~PngReader() = default;

Result<PngReader> PngReader::open(ByteView bytes) {
  auto file = std::make_unique<File>();
  Png& png = file->png;
  if (auto e = read_chunks(bytes, png)) return *e;
  file->passes = passes_of(png.header);
  uint64_t filtered_size = 0;  // below the memory limit plus one byte per row: no overflow
  for (const Pass& p : file->passes) filtered_size += p.height * (1 + p.row_bytes);
  if (filtered_size > png.image_data_bytes * DEFLATE_MAX_RATIO)
    return fail("the image data is too short for the image size");
  auto pixels = pixel_count(png.header.width, png.header.height);
  if (!pixels) return pixels.error();
  file->filtered_size = filtered_size;
  return PngReader(std::move(file));
}

std::size_t PngReader::width() const { return file_->png.header.width; }
std::size_t PngReader::height() const { return file_->png.header.height; }
std::size_t PngReader::rgba_size() const { return width() * height() * 4; }
std::size_t PngReader::filtered_size() const { return file_->filtered_size; }
bool PngReader::in_place(std::size_t capacity) const {
  return !file_->png.header.interlaced && capacity >= std::max(rgba_size(), filtered_size());
}

Status PngReader::inflate_into(uint8_t* filtered) const { return inflate(file_->png, filtered, filtered_size()); }

Status PngReader::expand(const uint8_t* filtered, uint8_t* out) const {
  const Png& png = file_->png;
  const Header& h = png.header;
  const UnfilterFn unfilter = unfilter_for(h.filter_distance());
  const Expander expand_row(png);
  // Two scratch rows: the one being unfiltered and the one above it.
  std::size_t widest = 0;
  for (const Pass& p : file_->passes) widest = std::max<std::size_t>(widest, p.row_bytes);
  std::vector<uint8_t> rows(2 * widest);
  std::vector<uint8_t> pass_rgba(h.interlaced ? 4 * std::size_t{h.width} : 0);
  const std::size_t check_every = rows_per_check(h);
  const uint8_t* raw = filtered;
  for (const Pass& p : file_->passes) {
    const std::size_t n = p.row_bytes;
    uint8_t* prev = rows.data();
    uint8_t* cur = rows.data() + n;
    std::memset(prev, 0, n);
    for (std::size_t j = 0; j < p.height; ++j, raw += n + 1) {
      if (j % check_every == 0) par::check_cancelled();
      if (raw[0] > PAETH) return fail("invalid row filter type");
      unfilter(raw[0], raw + 1, prev, cur, n);
      uint8_t* dst = out + 4 * ((p.y0 + j * p.dy) * std::size_t{h.width} + p.x0);
      if (p.dx == 1) {
        expand_row(cur, p.width, dst);
      } else {
        expand_row(cur, p.width, pass_rgba.data());
        for (std::size_t i = 0; i < p.width; ++i) std::memcpy(dst + 4 * i * p.dx, &pass_rgba[4 * i], 4);
      }
      std::swap(prev, cur);
    }
  }
  return std::nullopt;
}

Status PngReader::decode_into(uint8_t* out, std::size_t capacity) const {
  if (filtered_size() >= DETACHED_INFLATE_SIZE) {
    auto inflated = inflate_detached(file_->png, filtered_size());
    if (!inflated) return std::move(inflated).error();
    return expand(inflated->get(), out);
  }
  // In place, the filtered rows are inflated into the tail of the buffer, and each row, once unfiltered into a
  // scratch row, is expanded towards the front. The buffer is as long as the larger of the two, so row j's RGBA
  // ends at or before the start of filtered row j + 1: nothing is overwritten before it is read. Interlaced
  // images, whose passes land all over the image, and buffers too short for the filtered rows inflate into a
  // scratch block.
  if (in_place(capacity)) {
    uint8_t* filtered = out + (capacity - filtered_size());
    if (auto e = inflate_into(filtered)) return e;
    return expand(filtered, out);
  }
  ScratchBlock scratch(filtered_size());
  if (auto e = inflate_into(scratch.data())) return e;
  return expand(scratch.data(), out);
}

Result<PngHeader> read_png_header(ByteView file) {
  if (file.size() < 8 || std::memcmp(file.data(), SIGNATURE, 8) != 0) return fail("not a PNG file (bad signature)");
  if (file.size() < 8 + 8 + 13 + 4) return fail("file is cut short inside the IHDR chunk");
  const uint8_t* chunk = &file[8];
  if (std::memcmp(chunk + 4, "IHDR", 4) != 0) return fail("the first chunk is not IHDR");
  if (be32(chunk) != 13) return fail("invalid IHDR chunk length");
  if (be32(chunk + 8 + 13) != libdeflate_crc32(0, chunk + 4, 4 + 13)) return fail("CRC mismatch in the IHDR chunk");
  Header h;
  if (auto e = read_header(file.subspan(16, 13), h)) return *e;
  return PngHeader{h.width, h.height, h.depth, h.colour, h.interlaced};
}

Result<RgbaImage> decode_png(ByteView file) {
  auto reader = PngReader::open(file);
  if (!reader) return std::move(reader).error();
  RgbaImage image;
  image.width = reader->width();
  image.height = reader->height();
  const std::size_t out_size = reader->rgba_size(), filtered_size = reader->filtered_size();
  // The image's buffer is zeroed when it is allocated, every page of it touched. Where the RGBA is at least twice
  // the inflated rows (grey, palette and low bit depths), the stream is inflated into a scratch block first, so
  // that a small file whose stream turns out corrupt near its end is refused having touched no more than the
  // inflated rows (which the memory limit bounds); the others decode in place, in one buffer.
  if (filtered_size >= DETACHED_INFLATE_SIZE) {
    auto inflated = inflate_detached(reader->file_->png, filtered_size);
    if (!inflated) return std::move(inflated).error();
    resize_watched(image.data, out_size);
    if (auto e = reader->expand(inflated->get(), image.data.data())) return *e;
  } else if (!reader->in_place(std::max(out_size, filtered_size)) || out_size / 2 >= filtered_size) {
    ScratchBlock scratch(filtered_size);
    if (auto e = reader->inflate_into(scratch.data())) return *e;
    resize_watched(image.data, out_size);
    if (auto e = reader->expand(scratch.data(), image.data.data())) return *e;
  } else {
    resize_watched(image.data, std::max(out_size, filtered_size));
    if (auto e = reader->decode_into(image.data.data(), image.data.size())) return *e;
    image.data.resize(out_size);
    if (image.data.capacity() - out_size > out_size / 8) image.data.shrink_to_fit();  // 16-bit samples: give back the rest
  }
  if (auto e = check_rgba(image.data.size(), image.width, image.height)) return *e;
  return image;
}

Result<std::pair<RgbaImage, RgbaImage>> decode_png_pair(ByteView baseline, ByteView current) {
  // Two renders of an unchanged page are the same file: decode it once.
  if (same_bytes(baseline, current)) {
    auto image = decode_png(baseline);
    if (!image) return std::move(image).error();
    RgbaImage copy{image->width, image->height, {}};
    constexpr std::size_t SLICE = 64u << 20;  // copied a slice at a time, between looks for Ctrl-C
    if (image->data.size() <= SLICE) {
      copy.data = image->data;
    } else {
      resize_watched(copy.data, image->data.size());
      for (std::size_t at = 0; at < image->data.size(); at += SLICE) {
        par::check_cancelled();
        std::memcpy(copy.data.data() + at, image->data.data() + at, std::min(SLICE, image->data.size() - at));
      }
    }
    return std::pair<RgbaImage, RgbaImage>(std::move(*image), std::move(copy));
  }
  std::optional<Result<RgbaImage>> b, c;
  par::join([&] { b.emplace(decode_png(baseline)); }, [&] { c.emplace(decode_png(current)); });
  if (!*b) return std::move(*b).error();
  if (!*c) return std::move(*c).error();
  return std::pair<RgbaImage, RgbaImage>(std::move(*b).value(), std::move(*c).value());
}

}  // namespace qf
