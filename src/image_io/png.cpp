#include "image_io/png.hpp"

#include <spng.h>

#include <memory>
#include <optional>

#include "core/parallel.hpp"
#include "core/size.hpp"

namespace qf {

namespace {

// Caps on what the decoder may hold for ancillary chunks, so that a hostile file cannot make it allocate
// without bound before (or besides) the image itself. Image data chunks are streamed, not stored.
constexpr std::size_t PNG_CHUNK_SIZE_LIMIT = 64u << 20;
constexpr std::size_t PNG_CHUNK_CACHE_LIMIT = 128u << 20;

struct ContextDeleter {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Context = std::unique_ptr<spng_ctx, ContextDeleter>;

CompareError decode_error(int rc) { return err::decode_png(spng_strerror(rc)); }

// Bytes per pixel of the decoded image in the file's own sample layout, after palette and low-bit-depth
// expansion and with an alpha channel added for tRNS: what the memory limit is measured in.
std::size_t native_bytes_per_pixel(const spng_ihdr& ihdr, bool has_trns) {
  const std::size_t sample = ihdr.bit_depth == 16 ? 2 : 1;
  switch (ihdr.color_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE: return sample * (has_trns ? 2 : 1);
    case SPNG_COLOR_TYPE_TRUECOLOR: return sample * (has_trns ? 4 : 3);
    case SPNG_COLOR_TYPE_INDEXED: return has_trns ? 4 : 3;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA: return sample * 2;
    default: return sample * 4;  // truecolour with alpha
  }
}

inline uint8_t round16(uint16_t v) { return static_cast<uint8_t>((static_cast<uint32_t>(v) + 128) / 257); }

// 16-bit samples in host order (the decoder's native output) → 8-bit RGBA, rounding to the nearest value and
// turning the tRNS colour, if any, into alpha 0.
void convert16(const uint16_t* in, std::size_t pixels, uint8_t colour_type, const std::optional<spng_trns>& trns,
               uint8_t* out) {
  for (std::size_t p = 0; p < pixels; ++p, out += 4) {
    switch (colour_type) {
      case SPNG_COLOR_TYPE_GRAYSCALE: {
        uint16_t g = *in++;
        out[0] = out[1] = out[2] = round16(g);
        out[3] = (trns && g == trns->gray) ? 0 : 255;
        break;
      }
      case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
        out[0] = out[1] = out[2] = round16(in[0]);
        out[3] = round16(in[1]);
        in += 2;
        break;
      case SPNG_COLOR_TYPE_TRUECOLOR: {
        uint16_t r = in[0], g = in[1], b = in[2];
        in += 3;
        out[0] = round16(r);
        out[1] = round16(g);
        out[2] = round16(b);
        out[3] = (trns && r == trns->red && g == trns->green && b == trns->blue) ? 0 : 255;
        break;
      }
      default:
        for (int c = 0; c < 4; ++c) out[c] = round16(in[c]);
        in += 4;
        break;
    }
  }
}

}  // namespace

Result<RgbaImage> decode_png(ByteView png) {
  Context ctx(spng_ctx_new(0));
  if (!ctx) throw std::bad_alloc();
  int rc = spng_set_chunk_limits(ctx.get(), PNG_CHUNK_SIZE_LIMIT, PNG_CHUNK_CACHE_LIMIT);
  // A checksum mismatch in any chunk is a corrupt file, ancillary chunks included (the library would drop those
  // silently).
  if (rc == 0) rc = spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_ERROR);
  if (rc == 0) rc = spng_set_png_buffer(ctx.get(), png.data(), png.size());
  spng_ihdr ihdr{};
  if (rc == 0) rc = spng_get_ihdr(ctx.get(), &ihdr);
  if (rc != 0) return decode_error(rc);

  // tRNS is only meaningful (and only allowed) without an alpha channel.
  std::optional<spng_trns> trns;
  if (ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE || ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR ||
      ihdr.color_type == SPNG_COLOR_TYPE_INDEXED) {
    spng_trns t{};
    rc = spng_get_trns(ctx.get(), &t);
    if (rc == 0) trns = t;
    else if (rc != SPNG_ECHUNKAVAIL) return decode_error(rc);
  }

  // The limit is checked from the header before anything the size of the image is allocated.
  auto pixels = pixel_count(ihdr.width, ihdr.height);
  if (!pixels) return pixels.error();
  auto native = checked_mul(*pixels, native_bytes_per_pixel(ihdr, trns.has_value()));
  if (!native || *native > PNG_DECODE_LIMIT) return err::decode_png("Memory limit exceeded");

  RgbaImage image;
  image.width = ihdr.width;
  image.height = ihdr.height;
  if (ihdr.bit_depth == 16) {
    // Decoded as 16-bit and rounded here: the library's 8-bit output would keep the high byte only.
    std::size_t size = 0;
    rc = spng_decoded_image_size(ctx.get(), SPNG_FMT_PNG, &size);
    if (rc != 0) return decode_error(rc);
    std::vector<uint16_t> samples(size / 2);
    rc = spng_decode_image(ctx.get(), samples.data(), samples.size() * 2, SPNG_FMT_PNG, 0);
    if (rc != 0) return decode_error(rc);
    image.data.resize(*pixels * 4);
    convert16(samples.data(), *pixels, ihdr.color_type, trns, image.data.data());
  } else {
    image.data.resize(*pixels * 4);
    rc = spng_decode_image(ctx.get(), image.data.data(), image.data.size(), SPNG_FMT_RGBA8, SPNG_DECODE_TRNS);
    if (rc != 0) return decode_error(rc);
  }
  // The image data can end before its chunk does: read on to IEND so that a checksum error in the last IDAT
  // chunk, a corrupt chunk after the image or a file cut short after the image data is reported, not accepted.
  rc = spng_decode_chunks(ctx.get());
  if (rc != 0) return decode_error(rc);
  if (auto e = check_rgba(image.data.size(), image.width, image.height)) return *e;
  return image;
}

Result<std::pair<RgbaImage, RgbaImage>> decode_png_pair(ByteView baseline, ByteView current) {
  std::optional<Result<RgbaImage>> b, c;
  par::join([&] { b.emplace(decode_png(baseline)); }, [&] { c.emplace(decode_png(current)); });
  if (!*b) return std::move(*b).error();
  if (!*c) return std::move(*c).error();
  return std::pair<RgbaImage, RgbaImage>(std::move(*b).value(), std::move(*c).value());
}

}  // namespace qf
