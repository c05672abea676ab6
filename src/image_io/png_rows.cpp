#include "image_io/png_rows.hpp"

#include "core/cpu.hpp"

namespace qf::png_rows {

UnfilterFn unfilter_for(unsigned bpp) {
  // Sub, Average and Paeth depend on the pixel to the left; only 3- and 4-byte pixels gain from SSE2.
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool sse2 = cpu::features().sse2;
  if (sse2 && bpp == 3) return unfilter_row_sse2_3;
  if (sse2 && bpp == 4) return unfilter_row_sse2_4;
#endif
  switch (bpp) {
    case 1: return unfilter_row<1>;
    case 2: return unfilter_row<2>;
    case 3: return unfilter_row<3>;
    case 4: return unfilter_row<4>;
    case 6: return unfilter_row<6>;
    default: return unfilter_row<8>;
  }
}

void rgb_to_rgba(const uint8_t* in, std::size_t width, uint8_t* out) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool ssse3 = cpu::features().ssse3;
  if (ssse3) return rgb_to_rgba_ssse3(in, width, out);
#endif
  rgb_to_rgba_scalar(in, width, out);
}

}  // namespace qf::png_rows
