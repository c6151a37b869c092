// Tempo maps: in a tempo map's text, every tab- or newline-separated token
// "tmap" begins an entry of tempo, beats per measure and measures.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
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

}  // namespace zembrol
