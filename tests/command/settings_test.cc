#include "command/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zembrol {
namespace {

using namespace std::string_literals;

Settings Parse(const std::string& text) {
  Settings s;
  ParseSettingsText(text, s);
  return s;
}

TEST(SettingsText, ValuesAndTheirLimits) {
  EXPECT_EQ(Parse("rate\t-1\n").rate, 4294967295u);
  EXPECT_EQ(Parse("rate\t-99999999999\n").rate, 2147483648u);
  EXPECT_EQ(Parse("rate\t2147483648\n").rate, 2147483648u);
  EXPECT_EQ(Parse("rate\t4294967295\n").rate, 4294967295u);
  EXPECT_EQ(Parse("rate\t4294967296\n").rate, 4294967295u);
  EXPECT_EQ(Parse("rate\t99999999999999999999\n").rate, 4294967295u);
  EXPECT_EQ(Parse("meas\t99999999999\n").meas, INT32_MAX);
  EXPECT_EQ(Parse("meter\t-99999999999\n").meter, INT32_MIN);
  EXPECT_EQ(Parse("meter\t\t\t7\n").meter, 7);
  EXPECT_FLOAT_EQ(Parse("tempo\t0x1p7\n").tempo, 128.0f);
  EXPECT_FLOAT_EQ(Parse("Hz\t\n\n\n  55.5\n").Hz, 55.5f);
  EXPECT_STREQ(Parse("save\tsave\n").save, "save");  // a value is never a key
  EXPECT_STREQ(Parse("map\tmaps/a.txt\r\n").map, "maps/a.txt\r");
  EXPECT_STREQ(Parse("device " + std::string(15, 'x')).device, std::string(15, 'x').c_str());
  EXPECT_STREQ(Parse("device " + std::string(16, 'x')).device, "default");
}

TEST(SettingsText, KeyWithoutValueKeepsItsField) {
  EXPECT_EQ(Parse("meas").meas, 48);
  EXPECT_EQ(Parse("meas\n\n\n").meas, 48);
  EXPECT_EQ(Parse("meas\t").meas, 48);
  EXPECT_EQ(Parse("meas\t\t\n").meas, 0);  // the value is the tabs: no digits
}

TEST(SettingsText, TextEndsAtTheFirstNulByte) {
  Settings s = Parse("meter\t3\n\0meas\t5\n"s);
  EXPECT_EQ(s.meter, 3);
  EXPECT_EQ(s.meas, 48);
  EXPECT_STREQ(Parse("save\tab\0cd\n"s).save, "ab");
}

TEST(SettingsText, FormatRoundTripsThroughTheReader) {
  Settings s;
  s.rate = 3000000000u;
  s.tempo = 133.333f;
  s.atime = 12.34f;
  std::strcpy(s.save, "x y.wav");
  Settings back = Parse(FormatSettings(s));
  EXPECT_EQ(back.rate, 3000000000u);
  EXPECT_FLOAT_EQ(back.tempo, 133.33f);
  EXPECT_FLOAT_EQ(back.atime, 12.3f);
  EXPECT_STREQ(back.save, "x y.wav");
}

}  // namespace
}  // namespace zembrol
