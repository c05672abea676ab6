// AVX2 twin of the streamed SSIM's output rows (streamed_kernels.hpp).
#include "ssim/streamed_kernels.hpp"

namespace qf::ssim_kernels {

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void output_row_avx2(const OutputRows& r, std::size_t j0, std::size_t w, double* values,
                                             double* dens) {
  output_values(r, j0, w, values, dens);
}
#else
void output_row_avx2(const OutputRows& r, std::size_t j0, std::size_t w, double* values, double* dens) {
  output_values(r, j0, w, values, dens);
}
#endif

}  // namespace qf::ssim_kernels
