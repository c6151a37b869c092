// Rendering and playing the sections of a tempo map with one prepared click.
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "playback/playback.h"
#include "tempomap/tempomap.h"

namespace zembrol {
namespace {

constexpr long double kSigned32Limit = 2147483648.0L;

}  // namespace

std::optional<int32_t> SectionBeatLength(uint32_t rate, float tempo) {
  const long double beat = static_cast<long double>(static_cast<uint64_t>(rate) * 60) / tempo;
  if (!(beat >= 1.0L) || beat >= kSigned32Limit) return std::nullopt;
  return static_cast<int32_t>(beat);
}

std::optional<int32_t> SectionSamples(int32_t beatsPerMeasure, int32_t measures, uint32_t rate,
                                      float tempo) {
  const __int128 product = static_cast<__int128>(beatsPerMeasure) * measures * rate;
  if (product < 0 || product > UINT32_MAX) return std::nullopt;
  const long double perBeat = 60.0L / tempo;
  const long double samples = static_cast<long double>(static_cast<uint32_t>(product)) * perBeat;
  if (std::isnan(samples) || samples >= kSigned32Limit || samples <= -kSigned32Limit)
    return std::nullopt;
  return static_cast<int32_t>(samples);
}

void PlaySections(const TempoMap& map, const SectionOutput& output) {
  for (int32_t k = 1; k <= map.count; ++k) {
    const TempoMapEntry& entry = map.entries[k];
    std::printf("\nPlaying section  %i \n\n", k);
    const std::optional<int32_t> beatLength = SectionBeatLength(output.rate, entry.tempo);
    if (!beatLength) {
      std::printf("A tempo of %.1f bpm gives no playable beat at %u Hz; section %i is skipped.\n",
                  static_cast<double>(entry.tempo), output.rate, k);
      continue;
    }
    const std::optional<int32_t> samples =
        SectionSamples(entry.beatsPerMeasure, entry.measures, output.rate, entry.tempo);
    if (!samples) {
      std::printf("Section %i has no playable length at %u Hz; it is skipped.\n", k, output.rate);
      continue;
    }
    std::vector<uint8_t> beat;
    try {
      beat = MAKE_BEAT(output.click, output.clickSamples, output.silence, *beatLength,
                       output.bytesPerSample);
    } catch (const std::bad_alloc&) {
      std::printf("There is not enough memory for a beat of %i samples; section %i is skipped.\n",
                  *beatLength, k);
      continue;
    }
    PLAY(beat, *beatLength, *samples, output.device, output.rate, entry.beatsPerMeasure, 1,
         output.bits);
  }
}

}  // namespace zembrol
