#include "base/numbers.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace zembrol {

ClampedInteger ReadClampedInteger(const char* text, int base, int64_t lowest, int64_t highest) {
  // A C23 library reads "0b" and binary digits in bases 0 and 2; C17 reads the 0.
  const size_t zero = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if ((base == 0 || base == 2) && text[zero] == '0' &&
      (text[zero + 1] == 'b' || text[zero + 1] == 'B')) {
    return {std::clamp<int64_t>(0, lowest, highest), zero + 1};
  }
  char* end = nullptr;
  // long long: long has 32 bits on some systems.
  const long long value = std::strtoll(text, &end, base);
  return {std::clamp<int64_t>(value, lowest, highest), static_cast<size_t>(end - text)};
}

float NarrowToFloat(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  // Half a unit above the largest float: from here on the nearest is infinity.
  constexpr double kOverflow = kMax + 0x1p103;
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (value >= kOverflow) return kInfinity;
  if (value <= -kOverflow) return -kInfinity;
  return static_cast<float>(std::clamp(value, -kMax, kMax));  // a nan passes unchanged
}

}  // namespace zembrol
