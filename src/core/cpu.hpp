// The one place that reads the processor's features, once. Every SIMD kernel sits in a file of its own beside its
// scalar twin and is picked from these flags. QUILLFEN_SCALAR=1 in the environment (read once, at the first
// look) clears them all, forcing the scalar twin of every kernel: the tests run both ways, and the results are
// the same to the bit.
#pragma once

namespace qf::cpu {

struct Features {
  bool sse2 = false;   // every x86-64 processor
  bool ssse3 = false;
  bool avx2 = false;
};

const Features& features();

}  // namespace qf::cpu
