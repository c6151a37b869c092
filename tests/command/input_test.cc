// The number answers: each read takes the longest prefix of the next word that
// strtoll (base 0) or strtof converts, and the words read after it show what
// stays in the input.
#include "command/input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zembrol {
namespace {

constexpr double kUnchanged = -7;  // the value before the read

struct NumberCase {
  const char* name;
  std::string text;
  bool integer;  // ReadInt, else ReadFloat
  NumberStatus status;
  double value;                   // NAN: any nan
  std::vector<std::string> next;  // the words read afterwards; "" for a too-long one
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }

class ReadNumberText : public testing::TestWithParam<NumberCase> {};

TEST_P(ReadNumberText, GivesTheValueAndLeavesTheRest) {
  const NumberCase& c = GetParam();
  std::string text = c.text;
  std::FILE* file = fmemopen(text.data(), text.size(), "r");
  ASSERT_NE(file, nullptr);
  Input in(file);
  int32_t integer = static_cast<int32_t>(kUnchanged);
  float real = static_cast<float>(kUnchanged);
  EXPECT_EQ(c.integer ? ReadInt(in, integer) : ReadFloat(in, real), c.status);
  const double value = c.integer ? integer : static_cast<double>(real);
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

constexpr bool kInt = true;
constexpr bool kFloat = false;
constexpr NumberStatus kOk = NumberStatus::kOk;
constexpr NumberStatus kNoNumber = NumberStatus::kNoNumber;

// 127 characters: octal 7 after 126 zeros.
const std::string kLongestNumber = std::string(126, '0') + "7";

INSTANTIATE_TEST_SUITE_P(
    Answers, ReadNumberText,
    testing::Values(NumberCase{"Decimal", " \n\t140\n", kInt, kOk, 140, {}},
                    NumberCase{"Negative", "-3 x", kInt, kOk, -3, {"x"}},
                    NumberCase{"Hex", "0x10", kInt, kOk, 16, {}},
                    NumberCase{"Octal", "010", kInt, kOk, 8, {}},
                    NumberCase{"OctalStopsAtNine", "09", kInt, kOk, 0, {"9"}},
                    NumberCase{"HexWithoutDigitsIsZero", "0x", kInt, kOk, 0, {"x"}},
                    NumberCase{"HexThenLetter", "0xg", kInt, kOk, 0, {"xg"}},
                    NumberCase{"BinaryPrefixIsNotRead", "0b1", kInt, kOk, 0, {"b1"}},
                    NumberCase{"SignedBinaryPrefixIsNotRead", "-0B1", kInt, kOk, 0, {"B1"}},
                    NumberCase{"DecimalFractionStays", "4.5", kInt, kOk, 4, {".5"}},
                    NumberCase{"AboveInt32", "2147483648", kInt, kOk, INT32_MAX, {}},
                    NumberCase{"BelowInt32", "-2147483649", kInt, kOk, INT32_MIN, {}},
                    NumberCase{"MinusWord", "-w", kInt, kNoNumber, kUnchanged, {"-w"}},
                    NumberCase{"PlusWord", "+w x", kInt, kNoNumber, kUnchanged, {"+w", "x"}},
                    NumberCase{"LoneMinus", "-", kInt, kNoNumber, kUnchanged, {"-"}},
                    NumberCase{"WordOf127Characters", kLongestNumber + "\n", kInt, kOk, 7, {}},
                    NumberCase{"WordOf127CharactersKeepsItsRest",
                               std::string("1").append(126, 'a'),
                               kInt,
                               kOk,
                               1,
                               {""}},
                    NumberCase{"WordOf128CharactersIsIgnoredWhole",
                               std::string("0").append(kLongestNumber).append(" x"),
                               kInt,
                               NumberStatus::kTooLong,
                               kUnchanged,
                               {"x"}},
                    NumberCase{"EndOfInput", " \n", kInt, NumberStatus::kEnd, kUnchanged, {}},
                    NumberCase{"Fraction", "97.25", kFloat, kOk, 97.25, {}},
                    NumberCase{"Exponent", "-1e2", kFloat, kOk, -100, {}},
                    NumberCase{"HexFloat", "0x1p3", kFloat, kOk, 8, {}},
                    NumberCase{"ExponentWithoutDigits", "1e+w", kFloat, kOk, 1, {"e+w"}},
                    NumberCase{"BareExponent", "1e\n", kFloat, kOk, 1, {"e"}},
                    NumberCase{"HexFloatWithoutDigits", "0x.p1", kFloat, kOk, 0, {"x.p1"}},
                    NumberCase{"RoundsToNearest", "16777217", kFloat, kOk, 16777216, {}},
                    NumberCase{"Overflow", "1e39", kFloat, kOk, INFINITY, {}},
                    NumberCase{"Infinity", "-infinity", kFloat, kOk, -INFINITY, {}},
                    NumberCase{"InfThenLetters", "infinit", kFloat, kOk, INFINITY, {"init"}},
                    NumberCase{"Nan", "nan(1)", kFloat, kOk, NAN, {}},
                    NumberCase{"UnclosedNan", "nan(1 x", kFloat, kOk, NAN, {"(1", "x"}},
                    NumberCase{"PointWord", ".w", kFloat, kNoNumber, kUnchanged, {".w"}},
                    NumberCase{"MinusPointWord", "-.w", kFloat, kNoNumber, kUnchanged, {"-.w"}},
                    NumberCase{"FloatWordOf128CharactersIsIgnoredWhole",
                               std::string(128, '9') + " t",
                               kFloat,
                               NumberStatus::kTooLong,
                               kUnchanged,
                               {"t"}},
                    NumberCase{"FloatEndOfInput", "", kFloat, NumberStatus::kEnd, kUnchanged, {}}),
    [](const testing::TestParamInfo<NumberCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zembrol
