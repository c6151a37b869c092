// The reader's float values where the menu's one decimal cannot show them:
// digits past those it keeps, and nan sequences longer than any word.
#include "command/input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace zembrol {
namespace {

struct FloatCase {
  const char* name;
  std::string text;
  float value;                    // NAN: any nan
  std::vector<std::string> next;  // the words read afterwards; "" for a too-long one
};

void PrintTo(const FloatCase& c, std::ostream* os) { *os << c.name; }

class ReadFloatText : public testing::TestWithParam<FloatCase> {};

TEST_P(ReadFloatText, GivesTheValueAndLeavesTheRest) {
  const FloatCase& c = GetParam();
  std::string text = c.text;
  std::FILE* file = fmemopen(text.data(), text.size(), "r");
  ASSERT_NE(file, nullptr);
  Input in(file);
  float value = -7.0f;
  EXPECT_EQ(ReadFloat(in, value), NumberStatus::kOk);
  if (std::isnan(c.value)) {
    EXPECT_TRUE(std::isnan(value));
  } else {
    EXPECT_EQ(value, c.value);
  }
  EXPECT_LE(in.pending.size(), kLongestWord + 1);
  for (const std::string& expected : c.next) {
    const Word word = ReadWord(in, 15);
    EXPECT_EQ(word.status, expected.empty() ? WordStatus::kTooLong : WordStatus::kOk);
    EXPECT_EQ(word.text, expected);
  }
  EXPECT_EQ(ReadWord(in, 15).status, WordStatus::kEnd);
  std::fclose(file);
}

// 1 + 2^-24 lies halfway between 1 and the next float, 1 + 2^-23.
const std::string kHalfway = "1.000000059604644775390625";
const std::string kZeros(300, '0');

INSTANTIATE_TEST_SUITE_P(
    Values, ReadFloatText,
    testing::Values(
        FloatCase{"AboveHalfwayFarBeyondTheKeptDigits", kHalfway + kZeros + "1 x", 0x1.000002p0f,
                  {"x"}},
        FloatCase{"ExactlyHalfwayRoundsToEven", kHalfway + kZeros + " x", 1.0f, {"x"}},
        FloatCase{"HexAboveHalfway", "0x1.000001" + kZeros + "1p0 x", 0x1.000002p0f, {"x"}},
        FloatCase{"ZerosBeforeTheFirstDigit", "0." + kZeros + "15e301 x", 1.5f, {"x"}},
        FloatCase{"ShortUnclosedNan", "nan(1 x", NAN, {"(1", "x"}},
        FloatCase{"LongUnclosedNanIsATooLongWord", "nan(" + std::string(200, 'a') + "-w t", NAN,
                  {"", "t"}},
        FloatCase{"LongClosedNan", "nan(" + std::string(200, 'b') + ")t x", NAN, {"t", "x"}}),
    [](const testing::TestParamInfo<FloatCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zembrol
