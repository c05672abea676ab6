// The output rows of the streamed SSIM: the loop body both kernels compile, the baseline one in streamed.cpp and
// its AVX2 twin in streamed_avx2.cpp (4 lanes: the six divisions per output dominate, and a 256-bit divide does
// twice the work of a 128-bit one). Each lane computes the same expression in the same order, and without "fma"
// in the target nothing is fused, so both give the engine's values to the bit. streamed.cpp picks one from
// core/cpu.hpp.
#pragma once

#include <cstddef>

#include "ssim/ssim.hpp"

namespace qf::ssim_kernels {

inline constexpr std::size_t A = SSIM_WINDOW;

// The top (table row i) and bottom (table row i + A) rows of the five tables an output row reads.
struct OutputRows {
  const double *tx, *bx, *ty, *by, *txx, *bxx, *tyy, *byy, *txy, *bxy;
};

// The values of one output row from column j0 on, and their denominators. Every pointer is a row of its own and
// the loop has no branch (the sum picks 1.0 where the denominator is 0), so it vectorises; each lane computes
// the same expression in the same order as the engine, so the values are the same to the bit.
[[gnu::always_inline]] inline void output_values(const OutputRows& r, std::size_t j0, std::size_t w,
                                                 double* __restrict values, double* __restrict dens) {
  const double* __restrict tx = r.tx;
  const double* __restrict bx = r.bx;
  const double* __restrict ty = r.ty;
  const double* __restrict by = r.by;
  const double* __restrict txx = r.txx;
  const double* __restrict bxx = r.bxx;
  const double* __restrict tyy = r.tyy;
  const double* __restrict byy = r.byy;
  const double* __restrict txy = r.txy;
  const double* __restrict bxy = r.bxy;
  const double area = static_cast<double>(A * A);
  for (std::size_t j = j0; j < w; ++j) {
    const double ux = (((bx[j + A] - tx[j + A]) - bx[j]) + tx[j]) / area;
    const double uy = (((by[j + A] - ty[j + A]) - by[j]) + ty[j]) / area;
    const double exx = (((bxx[j + A] - txx[j + A]) - bxx[j]) + txx[j]) / area;
    const double eyy = (((byy[j + A] - tyy[j + A]) - byy[j]) + tyy[j]) / area;
    const double exy = (((bxy[j + A] - txy[j + A]) - bxy[j]) + txy[j]) / area;
    const double sx = exx - ux * ux;
    const double sy = eyy - uy * uy;
    const double sxy = exy - ux * uy;
    const double den = (ux * ux + uy * uy + SSIM_C1) * (sx + sy + SSIM_C2);
    values[j] = ((2.0 * ux) * uy + SSIM_C1) * (2.0 * sxy + SSIM_C2) / den;
    dens[j] = den;
  }
}

void output_row_avx2(const OutputRows& r, std::size_t j0, std::size_t w, double* values, double* dens);

}  // namespace qf::ssim_kernels
