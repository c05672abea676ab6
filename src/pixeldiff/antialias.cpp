#include "pixeldiff/classify.hpp"

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

bool is_antialiased(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                    PixelWords own, PixelWords other) {
  const Window w(x, y, width, height);
  unsigned zeroes = w.border ? 1 : 0;
  double min = 0.0, max = 0.0;
  std::size_t min_x = 0, min_y = 0, max_x = 0, max_y = 0;
  const std::size_t k = 4 * (y * width + x);
  for (std::size_t nx = w.x0; nx <= w.x1; ++nx)
    for (std::size_t ny = w.y0; ny <= w.y1; ++ny) {
      if (nx == x && ny == y) continue;
      const double d = detail::yiq_delta(img, img, k, 4 * (ny * width + nx), true);
      if (d == 0.0) {
        if (zeroes >= 2) return false;  // a flat area
        ++zeroes;
      } else if (d < min) {
        min = d;
        min_x = nx;
        min_y = ny;
      } else if (d > max) {
        max = d;
        max_x = nx;
        max_y = ny;
      }
    }
  if (min == 0.0 || max == 0.0) return false;  // no brighter or no darker neighbour
  if (has_many_siblings(own, min_x, min_y, width, height) && has_many_siblings(other, min_x, min_y, width, height))
    return true;
  return has_many_siblings(own, max_x, max_y, width, height) && has_many_siblings(other, max_x, max_y, width, height);
}

}  // namespace qf
