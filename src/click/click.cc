#include "click/click.h"

#include <math.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/numbers.h"

namespace zembrol {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kAmplitudeScale = 12582912.0;  // 3 x 2^22: 1.5 x 24-bit full scale

constexpr char kTooLow[] = "The frequency chosen is too low for this tempo!";

// Lowers `partials` while the integer part of Hz x 2^(partials - 1) exceeds
// half the rate. The product is exact in double precision for every count.
void FitPartials(float hz, uint32_t rate, int32_t& partials) {
  const double halfRate = rate / 2.0;
  if (std::isinf(hz) && hz > 0) {
    // The test holds for every count: the click is silent.
    if (partials > 0) partials = 0;
    return;
  }
  while (std::trunc(std::ldexp(static_cast<double>(hz), partials - 1)) > halfRate) --partials;
}

// Lowers `cycles` until the click is shorter than one second of audio.
void FitCycles(uint32_t rate, int32_t period, ClickShape& shape) {
  auto length = [&] {
    return static_cast<int32_t>(static_cast<uint32_t>(shape.cycles) *
                                static_cast<uint32_t>(period));
  };
  shape.clickSamples = length();
  while (static_cast<uint32_t>(shape.clickSamples) >= rate && shape.cycles > 0) {
    --shape.cycles;
    shape.clickSamples = length();
    if (shape.cycles == 0) std::puts(kTooLow);
  }
}

void ComputeTrackSamples(uint32_t rate, float trackSeconds, ClickShape& shape) {
  const double product = static_cast<double>(static_cast<float>(rate)) * trackSeconds;
  shape.trackTooLong = false;
  shape.trackSamples = 0;
  if (!std::isfinite(product) || product <= 0) return;
  if (product >= 2147483648.0) {
    shape.trackTooLong = true;
    return;
  }
  shape.trackSamples = static_cast<int32_t>(product);
}

}  // namespace

int32_t TruncToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

std::vector<uint8_t> PrepareClick(const ClickRequest& request, ClickShape& shape) {
  const uint32_t rate = request.rate;
  const double quotient = static_cast<double>(rate) / request.Hz;

  FitPartials(request.Hz, rate, shape.partials);
  if (std::isnan(quotient) || quotient >= 2147483648.0 || quotient <= -2147483649.0) {
    // Zero, NaN or a frequency so low that its period has no 32-bit length.
    if (shape.cycles > 0) {
      shape.cycles = 0;
      std::puts(kTooLow);
    }
    shape.clickSamples = 0;
  } else {
    FitCycles(rate, static_cast<int32_t>(quotient), shape);
    const uint32_t samples = static_cast<uint32_t>(shape.clickSamples);
    if (samples > kMaxClickSamples) {
      std::printf("A click of %u samples is too long to make; the click is silent.\n", samples);
      shape.cycles = 0;
      shape.clickSamples = 0;
    }
  }
  ComputeTrackSamples(rate, request.trackSeconds, shape);

  const int32_t length = shape.clickSamples;
  const size_t bytesPerSample = request.bits == 16 ? 2 : 3;
  std::vector<int32_t> work(static_cast<size_t>(length));
  std::vector<uint8_t> packed(work.size() * bytesPerSample);
  GEN_CLICK(work, TruncToInt32(request.Hz), shape.cycles, shape.partials, rate, length);
  if (request.bits == 16) {
    NUM24_TO_CHAR16(work.data(), packed.data(), length);
  } else {
    NUM24_TO_CHAR(work.data(), packed.data(), length);
  }
  return packed;
}

void GEN_CLICK(std::span<int32_t> values, int32_t lowest, int32_t cycles, int32_t partials,
               uint32_t rate, int32_t length) {
  if (length > 0) std::fill_n(values.begin(), length, 0);
  if (length > 0 && partials > 0 && cycles > 0) {
    const float rateF = static_cast<float>(rate);
    for (int32_t k = 1; k <= partials; ++k) {
      const int64_t f = static_cast<int64_t>(k) * lowest;
      if (f <= 0) continue;
      const float w = NarrowToFloat(kTwoPi * static_cast<double>(f) / rate);
      const int64_t p = TruncToInt32(static_cast<double>(rateF) / static_cast<double>(f));
      if (p <= 0) continue;
      for (int32_t i = 1; i <= cycles; ++i) {
        const double a = std::ldexp(kAmplitudeScale, -(k + i));
        const int64_t first = (i - 1) * p;
        if (first >= length) break;
        const int64_t last = std::min<int64_t>(i * p, length);
        for (int64_t j = first; j < last; ++j) {
          const float s = ::sinf(NarrowToFloat(static_cast<double>(j) * w));
          values[j] = static_cast<int32_t>(static_cast<double>(values[j]) + a * s);
        }
      }
    }
  }
  std::fputs("\n", stdout);
}

void NUM24_TO_CHAR(const int32_t* values, uint8_t* out, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t v = static_cast<uint32_t>(values[i]);
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v >> 16);
    out += 3;
  }
}

void NUM24_TO_CHAR16(const int32_t* values, uint8_t* out, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t v = static_cast<uint32_t>(values[i] >> 8);
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
    out += 2;
  }
}

}  // namespace zembrol
