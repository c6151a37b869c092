#include "playback/playback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace zembrol {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(AuditionBeatLength, DividesByTheRoundedBeatsPerSecond) {
  const struct {
    uint32_t rate;
    float tempo;
    std::optional<int32_t> expected;
  } cases[] = {
      {44100, 120.0f, 22050},  {48000, 128.0f, 22499}, {44100, 100.0f, 26460},
      {44100, 3000.0f, 882},   {96000, 60.0f, 96000},  {44100, 2646000.0f, 1},
      {44100, 2646001.0f, {}}, {44100, 0.0f, {}},      {44100, -120.0f, {}},
      {44100, kNaN, {}},       {44100, kInf, {}},      {44100, 0.001f, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AuditionBeatLength(c.rate, c.tempo), c.expected) << c.rate << " Hz " << c.tempo;
}

TEST(AuditionTotalSamples, TruncatesTheExactProduct) {
  const struct {
    uint32_t rate;
    float atime;
    std::optional<int32_t> expected;
  } cases[] = {
      {44100, 10.0f, 441000},
      {44100, 2.5f, 110250},
      {44100, 0.0f, 0},
      {44100, -1.0f, -44100},
      {48000, 0.1f, 4800},
      {44100, 1e-5f, 0},
      {44100, 1e9f, {}},
      {44100, -1e9f, {}},
      {44100, kNaN, {}},
      {44100, kInf, {}},
      {1, 2147483520.0f, 2147483520},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AuditionTotalSamples(c.rate, c.atime), c.expected) << c.rate << " Hz " << c.atime;
}

TEST(FramesToPlay, LargestMultipleOfThePeriodBelowTheTotal) {
  const struct {
    int32_t total;
    uint64_t period;
    int64_t expected;
  } cases[] = {
      {441000, 1024, 440320}, {1025, 1024, 1024}, {2048, 1024, 1024}, {2049, 1024, 2048},
      {1024, 1024, 0},        {0, 1024, 0},       {-5, 1024, 0},      {110250, 1024, 109568},
      {10000, 941, 9410},     {9410, 941, 8469},  {5, 0, 0},          {INT32_MAX, 1024, 2147482624},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FramesToPlay(c.total, c.period), c.expected) << c.total << " / " << c.period;
}

TEST(MakeBeat, ClickCutAtTheBeatThenSilence) {
  const std::vector<uint8_t> click = {1, 2, 3, 4, 5, 6};  // three 16-bit samples
  const std::vector<uint8_t> silence = {0xAA, 0xBB};
  EXPECT_EQ(MAKE_BEAT(click, 3, silence, 5, 2),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0xAA, 0xBB, 0xAA, 0xBB}));
  EXPECT_EQ(MAKE_BEAT(click, 3, silence, 2, 2), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(MAKE_BEAT(click, 0, silence, 2, 2), (std::vector<uint8_t>{0xAA, 0xBB, 0xAA, 0xBB}));
  EXPECT_EQ(MAKE_BEAT({}, 0, std::vector<uint8_t>{0, 0, 0}, 1, 3), (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_TRUE(MAKE_BEAT(click, 3, silence, 0, 2).empty());
}

// Runs FillPeriod on an in-memory stream; returns the measure lines printed.
std::string Fill(const std::vector<uint8_t>& beat, int32_t beatsPerMeasure, BeatCursor& cursor,
                 std::vector<uint8_t>& period) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  FillPeriod(beat, static_cast<int32_t>(beat.size()), 1, beatsPerMeasure, cursor, period, out);
  std::fclose(out);
  std::string lines(text, size);
  std::free(text);
  return lines;
}

TEST(FillPeriod, BeatShorterThanThePeriodEndsSeveralTimes) {
  const std::vector<uint8_t> beat = {7, 0, 0};
  std::vector<uint8_t> period(8);
  BeatCursor cursor;
  EXPECT_EQ(Fill(beat, 1, cursor, period), "\tMeasure  2\n\tMeasure  3\n");
  EXPECT_EQ(period, (std::vector<uint8_t>{7, 0, 0, 7, 0, 0, 7, 0}));
  EXPECT_EQ(cursor.position, 2);
  // The third beat ends on the first slot of the next period, the fifth on its last.
  EXPECT_EQ(Fill(beat, 1, cursor, period), "\tMeasure  4\n\tMeasure  5\n\tMeasure  6\n");
  EXPECT_EQ(period, (std::vector<uint8_t>{0, 7, 0, 0, 7, 0, 0, 7}));
  EXPECT_EQ(cursor.measure, 6);
}

TEST(FillPeriod, BeatLongerThanThePeriodCarriesOver) {
  const std::vector<uint8_t> beat = {1, 2, 3, 4, 5};
  std::vector<uint8_t> period(2);
  BeatCursor cursor;
  std::string lines;
  std::vector<uint8_t> played;
  for (int i = 0; i < 5; ++i) {
    lines += Fill(beat, 2, cursor, period);
    played.insert(played.end(), period.begin(), period.end());
  }
  EXPECT_EQ(played, (std::vector<uint8_t>{1, 2, 3, 4, 5, 1, 2, 3, 4, 5}));
  EXPECT_EQ(lines, "\tMeasure  2\n");
}

TEST(FillPeriod, NoPositiveMeterAnnouncesNothing) {
  const std::vector<uint8_t> beat = {9};
  std::vector<uint8_t> period(16);
  for (int32_t meter : {0, -3}) {
    BeatCursor cursor;
    EXPECT_EQ(Fill(beat, meter, cursor, period), "") << meter;
    EXPECT_EQ(cursor.measure, 1);
  }
}

}  // namespace
}  // namespace zembrol
