// Playback: one beat of packed samples is played over and over on an ALSA PCM
// device, one granted period per write, and each measure is announced on
// standard output as the fill passes into it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zembrol {

// Opens `device`, plays `beat` (beatLength samples of bits / 8 bytes) over and
// over for the largest multiple of the granted period below totalSamples,
// prints "\tMeasure  %i\n" from firstMeasure on, then drains and closes the
// device. Open, format and hw-parameter failures end the program (status 1).
// A beat of no samples, a beat buffer shorter than beatLength samples or a
// depth other than 16 and 24 prints one line and plays nothing.
void PLAY(std::span<const uint8_t> beat, int32_t beatLength, int32_t totalSamples,
          const char* device, uint32_t rate, int32_t beatsPerMeasure, int32_t firstMeasure,
          int32_t bits);

// The longest beat buffer that is built, 256 MiB: a beat of more samples (a
// tempo below about 0.064 bpm at 96000 Hz and 24 bits) is refused with one line.
constexpr int64_t kMaxBeatBytes = int64_t{256} << 20;

// Returns beatLength samples: the click cut at beatLength, then silence.
// REQUIRES: silence holds one sample of bytesPerSample bytes.
std::vector<uint8_t> MAKE_BEAT(std::span<const uint8_t> click, int32_t clickSamples,
                               std::span<const uint8_t> silence, int32_t beatLength,
                               int bytesPerSample);

// Returns MAKE_BEAT's beat for "a" and "ptm", or nullopt after one line that
// ends with "; `outcome`.": "A beat of N samples is too long to play" beyond
// kMaxBeatBytes, or "There is not enough memory for a beat of N samples".
std::optional<std::vector<uint8_t>> BeatToPlay(std::span<const uint8_t> click, int32_t clickSamples,
                                               std::span<const uint8_t> silence, int32_t beatLength,
                                               int bytesPerSample, const std::string& outcome);

// What the audition takes from the settings.
struct AuditionRequest {
  uint32_t rate = 44100;
  int32_t bits = 24;
  const char* device = "default";
  float tempo = 120.0f;
  float atime = 10.0f;
  int32_t meter = 4;
};

// Plays the click on every beat for atime seconds. A tempo or length that
// gives no playable sample count prints one line and plays nothing.
void PlayAudition(const AuditionRequest& request, std::span<const uint8_t> click,
                  int32_t clickSamples, std::span<const uint8_t> silence, int bytesPerSample);

// rate / (tempo / 60) in extended precision, truncated; nullopt when the
// result is below 1, not a number or beyond a signed 32-bit count.
std::optional<int32_t> AuditionBeatLength(uint32_t rate, float tempo);

// rate x atime (exact), truncated; nullopt when it does not fit signed 32 bits.
std::optional<int32_t> AuditionTotalSamples(uint32_t rate, float atime);

// Frames handed to a device that grants `period`: the largest multiple of the
// period strictly below totalSamples (0 for a period of 0).
int64_t FramesToPlay(int32_t totalSamples, uint64_t period);

// Where the fill stands in the beat pattern; it carries over between periods.
struct BeatCursor {
  int32_t position = 0;  // next beat sample to copy
  int32_t beatInMeasure = 1;
  int32_t measure = 1;
};

// Fills every whole sample of `period` from the beat at `cursor`, printing
// "\tMeasure  %i\n" on `out` each time the last beat of a measure ends.
// REQUIRES: beatLength >= 1 and beat holds beatLength samples.
void FillPeriod(std::span<const uint8_t> beat, int32_t beatLength, int bytesPerSample,
                int32_t beatsPerMeasure, BeatCursor& cursor, std::span<uint8_t> period,
                std::FILE* out);

}  // namespace zembrol
