// PNG files built by hand for the reader's tests: chunks with their CRCs.
#pragma once

#include <libdeflate.h>

#include "core/types.hpp"

namespace qf::testing_png {

inline void put32(Bytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

inline void chunk(Bytes& out, const char* type, const Bytes& data) {
  put32(out, static_cast<uint32_t>(data.size()));
  const std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  put32(out, libdeflate_crc32(0, out.data() + start, out.size() - start));
}

}  // namespace qf::testing_png
