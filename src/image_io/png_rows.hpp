// The PNG reader's row kernels: a row's filter undone, and 8-bit RGB expanded to RGBA. The scalar versions are
// here (the unfilter a template over the filter distance, which the others build on); their x86 twins are in
// png_rows_x86.cpp; png_rows.cpp picks one of each from core/cpu.hpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qf::png_rows {

enum Filter : uint8_t { NONE, SUB, UP, AVERAGE, PAETH };

// ---- Unfiltering: recon = filtered + predictor(left a, above b, upper left c), bytes modulo 256.

inline uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
}

// Undoes one row's filter. `raw` holds the filtered bytes, `prev` the row above already unfiltered (zeros for the
// first row of a pass), `out` receives the row; n bytes each, BPP the filter distance.
template <unsigned BPP>
inline void unfilter_row(uint8_t filter, const uint8_t* __restrict raw, const uint8_t* __restrict prev,
                  uint8_t* __restrict out, std::size_t n) {
  const std::size_t lead = std::min<std::size_t>(BPP, n);
  switch (filter) {
    case NONE:
      std::memcpy(out, raw, n);
      break;
    case SUB:
      std::memcpy(out, raw, lead);
      for (std::size_t i = BPP; i < n; ++i) out[i] = static_cast<uint8_t>(raw[i] + out[i - BPP]);
      break;
    case UP:
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(raw[i] + prev[i]);
      break;
    case AVERAGE:
      for (std::size_t i = 0; i < lead; ++i) out[i] = static_cast<uint8_t>(raw[i] + (prev[i] >> 1));
      for (std::size_t i = BPP; i < n; ++i)
        out[i] = static_cast<uint8_t>(raw[i] + ((unsigned{out[i - BPP]} + prev[i]) >> 1));
      break;
    case PAETH:
      for (std::size_t i = 0; i < lead; ++i) out[i] = static_cast<uint8_t>(raw[i] + prev[i]);
      for (std::size_t i = BPP; i < n; ++i)
        out[i] = static_cast<uint8_t>(raw[i] + paeth(out[i - BPP], prev[i], prev[i - BPP]));
      break;
  }
}

inline void rgb_to_rgba_scalar(const uint8_t* in, std::size_t width, uint8_t* out) {
  for (std::size_t x = 0; x < width; ++x, in += 3, out += 4) out[0] = in[0], out[1] = in[1], out[2] = in[2], out[3] = 255;
}

using UnfilterFn = void (*)(uint8_t filter, const uint8_t* raw, const uint8_t* prev, uint8_t* out, std::size_t n);

// The unfilter for a filter distance of 1, 2, 3, 4, 6 or 8 bytes, and the RGB expansion, as the processor allows.
UnfilterFn unfilter_for(unsigned bpp);
void rgb_to_rgba(const uint8_t* in, std::size_t width, uint8_t* out);

// The x86 twins (png_rows_x86.cpp): SSE2 for 3- and 4-byte pixels, SSSE3 for the expansion.
void unfilter_row_sse2_3(uint8_t filter, const uint8_t* raw, const uint8_t* prev, uint8_t* out, std::size_t n);
void unfilter_row_sse2_4(uint8_t filter, const uint8_t* raw, const uint8_t* prev, uint8_t* out, std::size_t n);
void rgb_to_rgba_ssse3(const uint8_t* in, std::size_t width, uint8_t* out);

}  // namespace qf::png_rows
