// Rendering and playing the sections of a tempo map with one prepared click.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "base/extended.h"
#include "base/numbers.h"
#include "playback/playback.h"
#include "tempomap/tempomap.h"
#include "wav/wav.h"

namespace zembrol {
namespace {

constexpr double kSigned32Limit = 2147483648.0;

// The section's length in seconds, in single precision: the beat count wraps
// in 32 bits, and 60 / tempo is formed before the product.
float SectionSeconds(const TempoMapEntry& entry) {
  const int32_t beats = static_cast<int32_t>(static_cast<uint32_t>(entry.beatsPerMeasure) *
                                             static_cast<uint32_t>(entry.measures));
  return NarrowToFloat(static_cast<double>(beats) * (60.0 / entry.tempo));
}

// Samples of the section; 0 for a tempo of 0 or below, or a length that is not
// a finite number below 2^31.
int32_t SectionTrackSamples(uint32_t rate, const TempoMapEntry& entry, float seconds) {
  if (!(entry.tempo > 0)) return 0;
  const double product = static_cast<double>(static_cast<float>(rate)) * seconds;
  if (!std::isfinite(product) || product >= 2147483648.0 || product <= 0) return 0;
  return static_cast<int32_t>(product);
}

}  // namespace

std::optional<RenderedSettings> RenderSections(const TempoMap& map, const SectionOutput& output) {
  std::vector<Track> tracks;
  int64_t dataBytes = 0;
  RenderedSettings rendered;
  for (int32_t k = 1; k <= map.count; ++k) {
    const TempoMapEntry& entry = map.entries[k];
    rendered = {entry.tempo, SectionSeconds(entry)};
    tracks.push_back(
        {.rate = output.rate,
         .bits = output.bits,
         .tempo = entry.tempo,
         .totalSamples = SectionTrackSamples(output.rate, entry, rendered.trackSeconds),
         .click = output.click,
         .clickSamples = output.clickSamples,
         .silence = output.silence});
    dataBytes += AppendedSamples(tracks.back()) * output.bytesPerSample;
  }
  if (!NewFileFits(dataBytes)) {
    std::printf("The tempo map is too long for a WAV file; '%s' was not written.\n", output.save);
    return std::nullopt;
  }
  WriteSectionTracks(output.save, output.rate, output.bits, tracks);
  return rendered;
}

std::optional<int32_t> SectionBeatLength(uint32_t rate, float tempo) {
  const double rateTimes60 = static_cast<double>(static_cast<uint64_t>(rate) * 60);  // exact
  const double beat = (Extended(rateTimes60) / Extended(tempo)).TowardZero();
  if (!(beat >= 1.0) || beat >= kSigned32Limit) return std::nullopt;
  return static_cast<int32_t>(beat);
}

std::optional<int32_t> SectionSamples(int32_t beatsPerMeasure, int32_t measures, uint32_t rate,
                                      float tempo) {
  // The beat count is exact in 64 bits; with the rate it must fit 32 bits unsigned.
  const int64_t beats = int64_t{beatsPerMeasure} * measures;
  if (beats < 0 || (rate != 0 && static_cast<uint64_t>(beats) > UINT32_MAX / rate))
    return std::nullopt;
  const double product = static_cast<double>(static_cast<uint64_t>(beats) * rate);
  const Extended perBeat = Extended(60.0) / Extended(tempo);
  const double samples = (Extended(product) * perBeat).TowardZero();
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
    const std::optional<std::vector<uint8_t>> beat =
        BeatToPlay(output.click, output.clickSamples, output.silence, *beatLength,
                   output.bytesPerSample, "section " + std::to_string(k) + " is skipped");
    if (!beat) continue;
    PLAY(*beat, *beatLength, *samples, output.device, output.rate, entry.beatsPerMeasure, 1,
         output.bits);
  }
}

}  // namespace zembrol
