#include <gtest/gtest.h>

#include <limits>

#include "tempomap/tempomap.h"

namespace zembrol {
namespace {

TEST(SectionBeatLength, DividesRateTimesSixtyByTheTempo) {
  EXPECT_EQ(SectionBeatLength(44100, 120.0f), 22050);
  EXPECT_EQ(SectionBeatLength(48000, 128.0f), 22500);  // the audition gives 22499
  EXPECT_EQ(SectionBeatLength(44100, 84.0f), 31500);
  EXPECT_EQ(SectionBeatLength(44100, 160.0f), 16537);
  EXPECT_EQ(SectionBeatLength(44100, 110.0f), 24054);
  EXPECT_EQ(SectionBeatLength(44100, 2646000.0f), 1);
  EXPECT_EQ(SectionBeatLength(44100, 2646001.0f), std::nullopt);
  EXPECT_EQ(SectionBeatLength(44100, 0.0f), std::nullopt);
  EXPECT_EQ(SectionBeatLength(44100, -120.0f), std::nullopt);
  EXPECT_EQ(SectionBeatLength(44100, std::numeric_limits<float>::quiet_NaN()), std::nullopt);
  EXPECT_EQ(SectionBeatLength(44100, 0.001f), std::nullopt);  // beyond 32 bits
}

TEST(SectionSamples, RoundsSixtyOverTempoFirst) {
  EXPECT_EQ(SectionSamples(2, 1, 44100, 84.0f), 62999);
  EXPECT_EQ(SectionSamples(3, 1, 44100, 42.0f), 189000);
  EXPECT_EQ(SectionSamples(4, 1, 44100, 110.0f), 96218);
  EXPECT_EQ(SectionSamples(4, 2, 44100, 120.0f), 176400);
  EXPECT_EQ(SectionSamples(4, 48, 44100, 120.0f), 4233600);
  EXPECT_EQ(SectionSamples(3, 16, 44100, 160.0f), 793800);
  EXPECT_EQ(SectionSamples(0, 16, 44100, 160.0f), 0);
  EXPECT_EQ(SectionSamples(-1, -2, 44100, 120.0f), 44100);
  EXPECT_EQ(SectionSamples(-1, 2, 44100, 120.0f), std::nullopt);
  EXPECT_EQ(SectionSamples(97391, 1, 44100, 240.0f), 1073735775);  // product below 2^32
  EXPECT_EQ(SectionSamples(97392, 1, 44100, 240.0f), std::nullopt);
  EXPECT_EQ(SectionSamples(48000, 1, 44100, 30.0f), std::nullopt);  // beyond signed 32 bits
}

}  // namespace
}  // namespace zembrol
