#include "pixeldiff/classify.hpp"

#include "core/cpu.hpp"
#include "pixeldiff/antialias_kernels.hpp"

#include <cstring>


namespace qf {

namespace {

// The 3 × 3 window of (x, y), clipped to the canvas, and whether (x, y) lies on the border.
struct Window {
  std::size_t x0, x1, y0, y1;
  bool border;
  Window(std::size_t x, std::size_t y, std::size_t width, std::size_t height)
      : x0(x > 0 ? x - 1 : 0),
        x1(x + 1 < width ? x + 1 : width - 1),
        y0(y > 0 ? y - 1 : 0),
        y1(y + 1 < height ? y + 1 : height - 1),
        border(x == 0 || x == width - 1 || y == 0 || y == height - 1) {}
};

}  // namespace

bool has_many_siblings(PixelWords words, std::size_t x, std::size_t y, std::size_t width, std::size_t height) {
  const Window w(x, y, width, height);
  unsigned count = w.border ? 1 : 0;
  const uint32_t v = words[y * width + x];
  for (std::size_t nx = w.x0; nx <= w.x1; ++nx)
    for (std::size_t ny = w.y0; ny <= w.y1; ++ny) {
      if (nx == x && ny == y) continue;
      if (words[ny * width + nx] == v) {
        if (count >= 2) return true;
        ++count;
      }
    }
  return false;
}

namespace detail {

// The neighbourhood part of the test, neighbour by neighbour: false for a flat area or a pixel without a
// brighter and a darker neighbour, else true with the positions of the brightest and the darkest neighbour.
bool extremes_generic(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                      Extremes& e) {
  const Window w(x, y, width, height);
  unsigned zeroes = w.border ? 1 : 0;
  double min = 0.0, max = 0.0;
  e = {};
  const std::size_t k = 4 * (y * width + x);
  for (std::size_t nx = w.x0; nx <= w.x1; ++nx)
    for (std::size_t ny = w.y0; ny <= w.y1; ++ny) {
      if (nx == x && ny == y) continue;
      const double d = yiq_delta(img, img, k, 4 * (ny * width + nx), true);
      if (d == 0.0) {
        if (zeroes >= 2) return false;  // a flat area
        ++zeroes;
      } else if (d < min) {
        min = d;
        e.min_x = nx;
        e.min_y = ny;
      } else if (d > max) {
        max = d;
        e.max_x = nx;
        e.max_y = ny;
      }
    }
  return min != 0.0 && max != 0.0;  // else no brighter or no darker neighbour
}

bool is_antialiased_generic(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                            PixelWords own, PixelWords other) {
  Extremes e;
  if (!extremes_generic(img, x, y, width, height, e)) return false;
  if (has_many_siblings(own, e.min_x, e.min_y, width, height) &&
      has_many_siblings(other, e.min_x, e.min_y, width, height))
    return true;
  return has_many_siblings(own, e.max_x, e.max_y, width, height) &&
         has_many_siblings(other, e.max_x, e.max_y, width, height);
}

}  // namespace detail

namespace {

using detail::extremes_generic;
using detail::is_antialiased_generic;

using AntialiasTest = bool (*)(const uint8_t*, std::size_t, std::size_t, std::size_t, std::size_t, PixelWords,
                               PixelWords);
using ExtremesTest = bool (*)(const uint8_t*, std::size_t, std::size_t, std::size_t, std::size_t, detail::Extremes&);

AntialiasTest pick_inner_test() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (cpu::features().avx2) return detail::is_antialiased_avx2;
#endif
  return is_antialiased_generic;
}

ExtremesTest pick_inner_extremes() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (cpu::features().avx2) return detail::extremes_avx2;
#endif
  return extremes_generic;
}

}  // namespace

bool is_antialiased(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                    PixelWords own, PixelWords other) {
  static const AntialiasTest inner_test = pick_inner_test();
  if (x > 0 && y > 0 && x + 1 < width && y + 1 < height) return inner_test(img, x, y, width, height, own, other);
  return is_antialiased_generic(img, x, y, width, height, own, other);
}

namespace detail {

bool luma_extremes(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                   Extremes& e) {
  static const ExtremesTest inner_extremes = pick_inner_extremes();
  if (x > 0 && y > 0 && x + 1 < width && y + 1 < height) return inner_extremes(img, x, y, width, height, e);
  return extremes_generic(img, x, y, width, height, e);
}

}  // namespace detail

}  // namespace qf
