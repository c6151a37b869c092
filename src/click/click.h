// Click synthesis: the click is a sum of harmonic sine partials, each halving
// in amplitude per cycle, fitted below half the sample rate and one second,
// and packed into little-endian 24- or 16-bit samples.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zembrol {

// The click's derived parameters; `partials` and `cycles` only ever go down.
struct ClickShape {
  int32_t partials = 8;
  int32_t cycles = 3;
  int32_t clickSamples = 0;
  int32_t trackSamples = 0;
  // Set when rate x trackSeconds reaches 2^31 samples; trackSamples is then 0.
  bool trackTooLong = false;
};

// The longest click made: 2^22 samples (16 MiB of work buffer). A click is
// shorter than a second of audio, so this bounds only rates above 4194304 Hz,
// where a click could otherwise take gigabytes and minutes to make.
inline constexpr uint32_t kMaxClickSamples = uint32_t{1} << 22;

// What one click preparation needs from the settings.
struct ClickRequest {
  uint32_t rate = 44100;
  float Hz = 60.0f;
  int32_t bits = 24;
  float trackSeconds = 0.0f;
};

// Truncates toward zero; NaN gives 0 and values beyond the range saturate.
int32_t TruncToInt32(double value);

// Fits `shape` to `request` (printing the too-low message when `cycles`
// reaches 0), synthesises the click and returns it packed at `bits`. A click
// longer than kMaxClickSamples is not made: one line says so and `cycles`
// becomes 0, so the click stays silent for the rest of the run.
std::vector<uint8_t> PrepareClick(const ClickRequest& request, ClickShape& shape);

// Clears values[0, length) and adds the partials; prints one "\n".
// REQUIRES: values.size() >= length.
void GEN_CLICK(std::span<int32_t> values, int32_t lowest, int32_t cycles, int32_t partials,
               uint32_t rate, int32_t length);

// Packs values[0, count) as 3 bytes each: the low 24 bits, LSB first.
void NUM24_TO_CHAR(const int32_t* values, uint8_t* out, int32_t count);

// Packs values[0, count) as 2 bytes each: the value shifted right by 8, LSB first.
void NUM24_TO_CHAR16(const int32_t* values, uint8_t* out, int32_t count);

}  // namespace zembrol
