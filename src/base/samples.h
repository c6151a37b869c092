// A packed sample takes 3 bytes at 24 bits and bits / 8 bytes at any other depth.
#pragma once

#include <cstdint>

namespace zembrol {

constexpr int32_t BytesPerSample(int32_t bits) { return bits == 24 ? 3 : bits / 8; }

}  // namespace zembrol
