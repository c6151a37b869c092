// Tempo maps: in a tempo map's text, every tab- or newline-separated token
// "tmap" begins an entry of tempo, beats per measure and measures.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace zembrol {

// One section of a piece.
struct TempoMapEntry {
  float tempo = 0;
  int32_t beatsPerMeasure = 0;
  int32_t measures = 0;
};

// Entries are numbered 1 to count, in the order of the text; entries[0] is unused.
struct TempoMap {
  static constexpr int32_t kCapacity = 255;
  int32_t count = 0;
  std::array<TempoMapEntry, kCapacity + 1> entries{};
  bool truncated = false;  // the text held more than kCapacity entries
};

// Returns the entries of `text`, which ends at its first NUL byte. Prints nothing.
TempoMap ParseTempoMap(std::string_view text);

// Reads and parses the file at `path`, printing "Parsing tmap file.." and the
// entry count. Returns std::nullopt after a one-line message when the file
// cannot be opened or read; ends the program with status 2 when it holds no entry.
std::optional<TempoMap> ReadTempoMap(const char* path);

// The click and the settings that the sections are rendered or played with.
struct SectionOutput {
  uint32_t rate = 44100;
  int32_t bits = 24;
  const char* device = "default";
  const char* save = "click.wav";
  std::span<const uint8_t> click;  // clickSamples packed samples
  int32_t clickSamples = 0;
  std::span<const uint8_t> silence;  // one packed sample of value 0
  int bytesPerSample = 3;
};

// (rate x 60) / tempo in extended precision, truncated; nullopt when the
// result is below 1, not a number or beyond a signed 32-bit count.
std::optional<int32_t> SectionBeatLength(uint32_t rate, float tempo);

// beats x measures x rate (which must fit 32 bits unsigned) x (60 / tempo) in
// extended precision, truncated; nullopt when it does not fit those bounds.
std::optional<int32_t> SectionSamples(int32_t beatsPerMeasure, int32_t measures, uint32_t rate,
                                      float tempo);

// Plays every section in turn, each announced by "\nPlaying section  %i \n\n";
// a section without a playable length prints one line and is skipped.
void PlaySections(const TempoMap& map, const SectionOutput& output);

// What rendering leaves in the run's settings: the last section's tempo and length.
struct RenderedSettings {
  float tempo = 0;
  float trackSeconds = 0;
};

// Writes every section, back to back, into one WAV file at output.save and
// fixes its sizes. A map whose data would not fit a WAV header prints one line,
// leaves the file untouched and returns std::nullopt.
std::optional<RenderedSettings> RenderSections(const TempoMap& map, const SectionOutput& output);

}  // namespace zembrol
