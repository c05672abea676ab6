#include "core/cpu.hpp"

#include <cstdlib>
#include <cstring>

namespace qf::cpu {

namespace {

Features detect() {
  Features f;
  const char* scalar = std::getenv("QUILLFEN_SCALAR");
  if (scalar && *scalar && std::strcmp(scalar, "0") != 0) return f;
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  f.sse2 = true;
  f.ssse3 = __builtin_cpu_supports("ssse3");
  f.avx2 = __builtin_cpu_supports("avx2");
#endif
  return f;
}

}  // namespace

const Features& features() {
  static const Features detected = detect();
  return detected;
}

}  // namespace qf::cpu
