// The settings file as text: each case is read from a file by GET_PARAMS,
// and every field is compared.
#include "command/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

namespace zembrol {
namespace {

using namespace std::string_literals;

// Reads `text` as the settings file.
Settings Read(const std::string& text) {
  File file(std::tmpfile());
  EXPECT_TRUE(file);
  if (!file) return {};
  std::fwrite(text.data(), 1, text.size(), file.get());
  std::rewind(file.get());
  Settings s;
  GET_PARAMS(std::move(file), s);
  return s;
}

auto Fields(const Settings& s) {
  return std::make_tuple(s.rate, s.bits, std::string(s.device), s.tempo, s.Hz, s.atime, s.meter,
                         s.meas, std::string(s.save), std::string(s.map));
}

std::string FiveKilobytes() {
  std::string text;
  while (text.size() < 5000) text += "# a comment line that is not a setting\n";
  return text + "meas\t7\n";
}

TEST(SettingsText, StoresEveryKeyFound) {
  const struct {
    const char* name;
    std::string text;
    Settings expected;
  } cases[] = {
      {"SomeKeys", "tempo\t90\nmeter\t3\nmeas\t10\n", {.tempo = 90, .meter = 3, .meas = 10}},
      {"BlanksInsteadOfTab", "rate  48000\nsave  x.wav\n", {.rate = 48000, .save = " x.wav"}},
      {"ValueOnTheNextLine", "tempo\t\n90\n", {.tempo = 90}},
      {"ValueAfterEmptyLinesAndBlanks", "Hz\t\n\n\n  55.5\n", {.Hz = 55.5f}},
      {"ValueAfterTabs", "meter\t\t\t7\n", {.meter = 7}},
      {"CrLf",
       "rate\t48000\r\nmeter\t3\r\ntempo\t100\r\nmap\tmaps/a.txt\r\n",
       {.rate = 48000, .tempo = 100, .meter = 3, .map = "maps/a.txt\r"}},
      {"DuplicateKeysTakeTheLast", "meter\t3\nmeter\t7\n", {.meter = 7}},
      {"UnknownKeysAndOtherCaseIgnored", "RATE\t8000\nvolume\t5\nHZ\t99\n", {}},
      {"KeyAmongWordsTakesTheRestOfTheLine", "my favourite meas\t12 bars\n", {.meas = 12}},
      {"AValueIsNeverAKey", "save\tsave\n", {.save = "save"}},
      {"NameWithABlank", "save\tmy track.wav\n", {.save = "my track.wav"}},
      {"NumbersWithTrailingWords",
       "tempo\t120 bpm\nmeas\tmany\natime\t2.5e1s\n",
       {.atime = 25, .meas = 0}},
      {"HexFloat", "tempo\t0x1p7\n", {.tempo = 128}},
      {"NegativeRateWraps", "rate\t-1\n", {.rate = 4294967295u}},
      {"RateBelowInt32Clamps", "rate\t-99999999999\n", {.rate = 2147483648u}},
      {"RateAboveInt32", "rate\t2147483648\n", {.rate = 2147483648u}},
      {"LargestRate", "rate\t4294967295\n", {.rate = 4294967295u}},
      {"RateAboveUint32Clamps", "rate\t4294967296\n", {.rate = 4294967295u}},
      {"RateFarAboveClamps", "rate\t99999999999999999999\n", {.rate = 4294967295u}},
      {"IntegersClampToInt32",
       "meas\t99999999999\nmeter\t-99999999999\n",
       {.meter = INT32_MIN, .meas = INT32_MAX}},
      {"KeyAsLastWordKeepsItsField", "meter\t5\nmeas", {.meter = 5}},
      {"KeyBeforeEmptyLinesKeepsItsField", "meas\n\n\n", {}},
      {"KeyBeforeATabAtTheEndKeepsItsField", "meas\t", {}},
      {"ValueOfTabsHasNoDigits", "meas\t\t\n", {.meas = 0}},
      {"TextEndsAtTheFirstNulByte",
       "tempo\t90\nsave\tone.wav\n\0meter\t3\nsave\ttwo.wav\n"s,
       {.tempo = 90, .save = "one.wav"}},
      {"NulByteInsideAValue", "save\tab\0cd\n"s, {.save = "ab"}},
      {"FiveKilobytesReadWhole", FiveKilobytes(), {.meas = 7}},
  };
  for (const auto& c : cases) EXPECT_EQ(Fields(Read(c.text)), Fields(c.expected)) << c.name;
}

// Device, save and map hold at most 15, 63 and 127 characters; a longer value
// leaves the field as it was.
TEST(SettingsText, TextsKeepTheirLimits) {
  const std::string x(127, 'x');
  EXPECT_STREQ(Read("device " + x.substr(0, 15)).device, x.substr(0, 15).c_str());
  EXPECT_STREQ(Read("device " + x.substr(0, 16)).device, "default");
  EXPECT_STREQ(Read("save\t" + x.substr(0, 63)).save, x.substr(0, 63).c_str());
  EXPECT_STREQ(Read("save\t" + x.substr(0, 64)).save, "click.wav");
  EXPECT_STREQ(Read("map\t" + x).map, x.c_str());
  EXPECT_STREQ(Read("map\t" + x + "x").map, "tmap.txt");
}

TEST(SettingsText, FormatRoundTripsThroughTheReader) {
  Settings s;
  s.rate = 3000000000u;
  s.tempo = 133.333f;
  s.atime = 12.34f;
  std::strcpy(s.save, "x y.wav");
  Settings back = Read(FormatSettings(s));
  EXPECT_EQ(back.rate, 3000000000u);
  EXPECT_FLOAT_EQ(back.tempo, 133.33f);
  EXPECT_FLOAT_EQ(back.atime, 12.3f);
  EXPECT_STREQ(back.save, "x y.wav");
}

}  // namespace
}  // namespace zembrol
