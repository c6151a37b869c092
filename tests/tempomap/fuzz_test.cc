#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tempomap/tempomap.h"

namespace zembrol {
namespace {

// The parse written directly with the C library's strtok_r, strtod and strtol
// on a NUL-terminated copy of the text.
TempoMap ReferenceParse(std::string_view text) {
  std::string copy(text.substr(0, text.find('\0')));
  TempoMap map;
  char* save = nullptr;
  char* token = strtok_r(copy.data(), "\t\n", &save);
  while (token != nullptr) {
    if (std::strcmp(token, "tmap") != 0) {
      token = strtok_r(nullptr, "\t\n", &save);
      continue;
    }
    char* tempo = strtok_r(nullptr, "\t", &save);
    char* beats = tempo ? strtok_r(nullptr, "\t", &save) : nullptr;
    char* measures = beats ? strtok_r(nullptr, "\n", &save) : nullptr;
    if (measures == nullptr) break;
    if (map.count == TempoMap::kCapacity) {
      map.truncated = true;
      break;
    }
    auto toInt32 = [](const char* field) {
      long value = std::strtol(field, nullptr, 10);
      return static_cast<int32_t>(value > INT32_MAX   ? INT32_MAX
                                  : value < INT32_MIN ? INT32_MIN
                                                      : value);
    };
    ++map.count;
    map.entries[map.count] = {static_cast<float>(std::strtod(tempo, nullptr)), toInt32(beats),
                              toInt32(measures)};
    token = measures;
  }
  return map;
}

// Random bytes, mostly drawn from the characters and words that matter to the parser.
std::vector<char> RandomText(std::mt19937& rng) {
  using namespace std::string_view_literals;  // "\0"sv keeps its NUL byte
  static constexpr std::string_view kPieces[] = {
      "tmap"sv, "\t"sv,  "\n"sv,  "\r"sv,          " "sv,
      "\0"sv,   "-"sv,   "+"sv,   "."sv,           "e"sv,
      "x"sv,    "nan"sv, "inf"sv, "0"sv,           "1"sv,
      "7"sv,    "9"sv,   "#"sv,   "99999999999"sv, "tmap\t120\t4\t48\n"sv};
  std::uniform_int_distribution<int> length(0, 64);
  std::uniform_int_distribution<int> piece(0, std::size(kPieces) + 3);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<char> text;
  for (int n = length(rng); n > 0; --n) {
    const size_t p = static_cast<size_t>(piece(rng));
    if (p < std::size(kPieces)) {
      text.insert(text.end(), kPieces[p].begin(), kPieces[p].end());
    } else {
      text.push_back(static_cast<char>(byte(rng)));
    }
  }
  return text;
}

TEST(TempoMapFuzz, RandomTextsParseLikeStrtokWithoutReadingPastTheText) {
  std::mt19937 rng(20240611);
  int withEntries = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::vector<char> bytes = RandomText(rng);
    // An exactly sized heap copy, so that the sanitizer build sees any read past its end.
    std::vector<char> exact(bytes);
    exact.shrink_to_fit();
    const std::string_view text(exact.data(), exact.size());

    const TempoMap map = ParseTempoMap(text);
    const TempoMap expected = ReferenceParse(text);
    ASSERT_GE(map.count, 0);
    ASSERT_LE(map.count, TempoMap::kCapacity);
    ASSERT_EQ(map.count, expected.count) << "case " << i;
    ASSERT_EQ(map.truncated, expected.truncated) << "case " << i;
    for (int32_t k = 1; k <= map.count; ++k) {
      ASSERT_EQ(std::bit_cast<uint32_t>(map.entries[k].tempo),
                std::bit_cast<uint32_t>(expected.entries[k].tempo))
          << "case " << i << " entry " << k;
      ASSERT_EQ(map.entries[k].beatsPerMeasure, expected.entries[k].beatsPerMeasure);
      ASSERT_EQ(map.entries[k].measures, expected.entries[k].measures);
    }
    if (map.count > 0) ++withEntries;
  }
  // The generator must reach the entry-building path often enough to matter.
  EXPECT_GT(withEntries, 400);
}

}  // namespace
}  // namespace zembrol
