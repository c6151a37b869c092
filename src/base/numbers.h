// Numbers taken from text or narrowed from double always get a defined value:
// integers are clamped to the range asked for, floats round to the nearest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zembrol {

struct ClampedInteger {
  int64_t value = 0;  // 0 when no prefix converts
  size_t length = 0;  // characters converted; 0 when none
};

// Returns the longest prefix of `text` that strtoll converts in `base`, its
// value clamped to [lowest, highest]. The C23 binary prefix is not read: in
// base 0, "0b1" is the number 0 followed by "b1", whatever the C library.
ClampedInteger ReadClampedInteger(const char* text, int base, int64_t lowest, int64_t highest);

// Returns `value` rounded to the nearest float; beyond the float range it
// overflows to +-infinity as the hardware conversion does, a nan stays a nan.
float NarrowToFloat(double value);

}  // namespace zembrol
