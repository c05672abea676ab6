// SipHash-1-3 (one compression round per 8-byte block, three finalisation rounds), 64-bit output.
#pragma once

#include <cstdint>

#include "core/types.hpp"

namespace qf {

struct SipKey {
  uint64_t k0 = 0, k1 = 0;
};

uint64_t siphash13(const SipKey& key, ByteView data);

}  // namespace qf
