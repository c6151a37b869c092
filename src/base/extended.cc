#include "base/extended.h"

namespace zembrol {
namespace {

constexpr mpfr_prec_t kSignificandBits = 64;

}  // namespace

Extended::Extended() { mpfr_init2(value_, kSignificandBits); }

Extended::Extended(double exact) : Extended() { mpfr_set_d(value_, exact, MPFR_RNDN); }

Extended::Extended(Extended&& other) noexcept : Extended() { mpfr_swap(value_, other.value_); }

Extended::~Extended() { mpfr_clear(value_); }

Extended operator*(const Extended& a, const Extended& b) {
  Extended product;
  mpfr_mul(product.value_, a.value_, b.value_, MPFR_RNDN);
  return product;
}

Extended operator/(const Extended& a, const Extended& b) {
  Extended quotient;
  mpfr_div(quotient.value_, a.value_, b.value_, MPFR_RNDN);
  return quotient;
}

double Extended::TowardZero() const { return mpfr_get_d(value_, MPFR_RNDZ); }

}  // namespace zembrol
