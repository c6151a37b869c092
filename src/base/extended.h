// Extended precision: a 64-bit significand, rounded to nearest after every
// operation (the x87 format's precision), computed by MPFR so that every
// architecture gives the same result.
#pragma once

#include <mpfr.h>

namespace zembrol {

class Extended {
 public:
  // Every double is exact with a 64-bit significand.
  explicit Extended(double exact);
  Extended(const Extended&) = delete;
  Extended& operator=(const Extended&) = delete;
  Extended(Extended&& other) noexcept;
  Extended& operator=(Extended&&) = delete;
  ~Extended();

  friend Extended operator*(const Extended& a, const Extended& b);
  friend Extended operator/(const Extended& a, const Extended& b);

  // Returns the value rounded toward zero to a double. Truncation to an
  // integer and comparisons with integers representable as doubles give on
  // it what they would give on the extended value itself.
  double TowardZero() const;

 private:
  Extended();
  mpfr_t value_;
};

}  // namespace zembrol
