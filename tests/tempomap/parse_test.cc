#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "tempomap/tempomap.h"

namespace zembrol {
namespace {

using namespace std::string_literals;

struct Entry {
  float tempo;
  int32_t beatsPerMeasure;
  int32_t measures;
};

struct ParseCase {
  const char* name;
  std::string text;
  std::vector<Entry> expected;
};

const std::vector<Entry> kHelpEntries = {{120.0f, 4, 48}, {160.0f, 3, 16}};

const ParseCase kCases[] = {
    {"HelpTextLines", "tmap\t120\t4\t48\ntmap\t160\t3\t16\n", kHelpEntries},
    {"HelpTextWithoutLastNewline", "tmap\t120\t4\t48\ntmap\t160\t3\t16", kHelpEntries},
    {"CommentLinesPassedOver",
     "# Song in two parts\nverse comes first\ntmap\t120\t4\t48\n\n# then the chorus\n"
     "tmap\t160\t3\t16\n# end\n",
     kHelpEntries},
    {"CarriageReturnLineFeed", "tmap\t120\t4\t48\r\ntmap\t160\t3\t16\r\n", kHelpEntries},
    {"SeveralTabsBetweenFields", "tmap\t\t\t120\t\t4\t\t\t48\ntmap\t160\t\t3\t16\n", kHelpEntries},
    {"KeywordAfterTabInComment", "# note:\ttmap\t70\t2\t3\n", {{70.0f, 2, 3}}},
    {"RestOfMeasuresLineIgnored",
     "tmap\t120\t4\t48\ttmap\t60\t1\t1 # a comment\n",
     {{120.0f, 4, 48}}},
    {"SpacesInsteadOfTabs", "tmap 120 4 48\ntmap 160 3 16\n", {}},
    {"KeywordIndentedBySpaces", "   tmap\t120\t4\t48\n", {}},
    {"KeywordIsCaseSensitive", "TMAP\t120\t4\t48\ntmaps\t120\t4\t48\n", {}},
    {"EmptyText", "", {}},
    {"OnlyEmptyLines", "\n\n\n", {}},
    {"OnlyTabsAndNewlines", "\t\n\t\t\n", {}},
    {"FractionalTempo", "tmap\t97.5\t4\t4\n", {{97.5f, 4, 4}}},
    {"TempoNarrowedToFloat", "tmap\t120.1\t4\t4\n", {{120.1f, 4, 4}}},
    {"ZeroLengthAndNonPositiveSections",
     "tmap\t120\t0\t4\ntmap\t120\t4\t0\ntmap\t0\t4\t4\ntmap\t-60\t4\t4\n",
     {{120.0f, 0, 4}, {120.0f, 4, 0}, {0.0f, 4, 4}, {-60.0f, 4, 4}}},
    {"NoNumberGivesZero", "tmap\tfast\tfour\tmany\n", {{0.0f, 0, 0}}},
    {"TextAfterNumbersIgnored", "tmap\t120bpm\t4/4\t48 bars\n", {{120.0f, 4, 48}}},
    {"LeadingBlanksAndSigns", "tmap\t 120\t +4\t -3\n", {{120.0f, 4, -3}}},
    {"IntsBeyond32BitsClamped",
     "tmap\t120\t2147483648\t-2147483649\n",
     {{120.0f, INT32_MAX, INT32_MIN}}},
    {"IntsBeyond64BitsClamped",
     "tmap\t120\t99999999999999999999999\t-99999999999999999999999\n",
     {{120.0f, INT32_MAX, INT32_MIN}}},
    {"IntsAtTheLimitsKept",
     "tmap\t120\t2147483647\t-2147483648\n",
     {{120.0f, INT32_MAX, INT32_MIN}}},
    {"KeywordEndedByNewline", "tmap\n120\t4\t48\n", {{120.0f, 4, 48}}},
    {"MissingTabTakesFieldsFromNextLine", "tmap\t120\t4\ntmap\t60\t3\t2\n", {{120.0f, 4, 60}}},
    {"MeasuresTokenIsNextKeyword",
     "tmap\t120\t4\ttmap\n90\t3\t2\n",
     {{120.0f, 4, 0}, {90.0f, 3, 2}}},
    {"TrailingEntryWithoutBeatsIgnored", "tmap\t120\t4\t48\ntmap\t100", {{120.0f, 4, 48}}},
    {"TrailingEntryWithoutMeasuresIgnored",
     "tmap\t120\t4\t48\ntmap\t100\t4\t\n",
     {{120.0f, 4, 48}}},
    {"TrailingKeywordAloneIgnored", "tmap\t120\t4\t48\ntmap", {{120.0f, 4, 48}}},
    {"NulByteEndsText", "tmap\t120\t4\t48\n\0tmap\t160\t3\t16\n"s, {{120.0f, 4, 48}}},
    {"NulByteWithinEntryCutsIt", "tmap\t120\t4\0\t48\n"s, {}},
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseTempoMapTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTempoMapTest, GivesEntries) {
  const ParseCase& c = GetParam();
  const TempoMap map = ParseTempoMap(c.text);
  ASSERT_EQ(map.count, static_cast<int32_t>(c.expected.size()));
  EXPECT_FALSE(map.truncated);
  for (size_t i = 0; i < c.expected.size(); ++i) {
    const TempoMapEntry& got = map.entries[i + 1];
    EXPECT_EQ(got.tempo, c.expected[i].tempo) << "entry " << i + 1;
    EXPECT_EQ(got.beatsPerMeasure, c.expected[i].beatsPerMeasure) << "entry " << i + 1;
    EXPECT_EQ(got.measures, c.expected[i].measures) << "entry " << i + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(TempoMap, ParseTempoMapTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ParseCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(TempoMapParse, EntryZeroStaysUnused) {
  const TempoMap map = ParseTempoMap("tmap\t120\t4\t48\n");
  EXPECT_EQ(map.entries[0].tempo, 0.0f);
  EXPECT_EQ(map.entries[0].beatsPerMeasure, 0);
  EXPECT_EQ(map.entries[0].measures, 0);
}

struct TempoCase {
  const char* field;
  float expected;
};

TEST(TempoMapParse, TempoRoundsToNearestFloatAndOverflowsToInfinity) {
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  const TempoCase cases[] = {
      {"3.4028235e38", FLT_MAX},   // FLT_MAX itself
      {"3.40282356e38", FLT_MAX},  // above FLT_MAX, below the halfway point
      {"3.4028236e38", kInfinity},
      {"-3.4028236e38", -kInfinity},
      {"1e300", kInfinity},
      {"-1e300", -kInfinity},
      {"inf", kInfinity},
      {"1e-50", 0.0f},
      {"0x10", 16.0f},
  };
  for (const TempoCase& c : cases) {
    const TempoMap map = ParseTempoMap("tmap\t"s + c.field + "\t4\t4\n");
    ASSERT_EQ(map.count, 1) << c.field;
    EXPECT_EQ(map.entries[1].tempo, c.expected) << c.field;
  }
}

TEST(TempoMapParse, NanTempoKept) {
  const TempoMap map = ParseTempoMap("tmap\tnan\t4\t4\n");
  ASSERT_EQ(map.count, 1);
  EXPECT_TRUE(std::isnan(map.entries[1].tempo));
}

// `count` entries whose tempo is their number.
std::string NumberedEntries(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += "tmap\t" + std::to_string(i) + "\t4\t1\n";
  return text;
}

TEST(TempoMapParse, Accepts255EntriesNumbered1To255) {
  const TempoMap map = ParseTempoMap(NumberedEntries(255));
  ASSERT_EQ(map.count, 255);
  EXPECT_FALSE(map.truncated);
  for (int i = 1; i <= 255; ++i) EXPECT_EQ(map.entries[i].tempo, static_cast<float>(i));
}

TEST(TempoMapParse, KeepsFirst255Of256Entries) {
  const TempoMap map = ParseTempoMap(NumberedEntries(256));
  ASSERT_EQ(map.count, 255);
  EXPECT_TRUE(map.truncated);
  for (int i = 1; i <= 255; ++i) EXPECT_EQ(map.entries[i].tempo, static_cast<float>(i));
}

TEST(TempoMapParse, IncompleteEntryAfter255IsNotTruncation) {
  const TempoMap map = ParseTempoMap(NumberedEntries(255) + "tmap\t99\t4");
  EXPECT_EQ(map.count, 255);
  EXPECT_FALSE(map.truncated);
}

}  // namespace
}  // namespace zembrol
