// AppendedSamples computes by arithmetic what the writer's loop lays down beat
// by beat: the two must agree on every grid, above all where rounding of the
// single-precision positions decides whether a click waits or follows on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "wav/wav.h"

namespace zembrol {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

Track Grid(uint32_t rate, float tempo, int32_t total, int32_t clickSamples) {
  return {.rate = rate,
          .bits = 24,
          .tempo = tempo,
          .totalSamples = total,
          .click = {},
          .clickSamples = clickSamples,
          .silence = {}};
}

std::string Describe(const Track& t) {
  char text[160];
  std::snprintf(text, sizeof text, "rate %u tempo %.9g (%.9g per beat) total %d click %d", t.rate,
                static_cast<double>(t.tempo), static_cast<double>(SamplesPerBeat(t.rate, t.tempo)),
                t.totalSamples, t.clickSamples);
  return text;
}

// The tempo that gives `perBeat` samples per beat at `rate`, as near as a float gets.
float TempoFor(uint32_t rate, double perBeat) {
  return static_cast<float>(static_cast<double>(rate) * 60.0 / perBeat);
}

TEST(WavAppendedSamples, MatchesTheWalkOnRandomGrids) {
  std::mt19937 rng(15);
  auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<>(lo, hi)(rng);
  };
  auto integer = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };
  for (int i = 0; i < 3000; ++i) {
    const uint32_t rate = static_cast<uint32_t>(integer(1, 400000));
    const int32_t click =
        static_cast<int32_t>(std::exp2(uniform(0, 13)));  // 1 .. 8192 samples, most of them short
    double perBeat = 0;
    switch (i % 4) {
      case 0:  // anywhere
        perBeat = std::exp2(uniform(-3, 20));
        break;
      case 1:  // beats about as long as the click, where rounding decides
        perBeat = click + uniform(-2, 2) * std::exp2(integer(-20, 0));
        break;
      case 2:  // exactly as long
        perBeat = click;
        break;
      default:  // whole numbers of samples near the click's length
        perBeat = static_cast<double>(click + integer(-3, 3));
        break;
    }
    // Tracks whose positions reach past 2^24 and 2^25 samples, while the walk
    // stays within a few million beats.
    const double beats = std::exp2(uniform(0, 22));
    const double total = std::min(perBeat * beats + integer(0, 5000), 2147483647.0);
    const float tempo = TempoFor(rate, perBeat);
    const Track track = Grid(rate, tempo, static_cast<int32_t>(total), click);
    ASSERT_EQ(AppendedSamples(track), WalkedSamples(track)) << Describe(track);
  }
}

TEST(WavAppendedSamples, MatchesTheWalkPastTheBeatCountersLimit) {
  // From 2^24 beats on the float beat counter stops: every later click follows
  // the one before.
  for (const double perBeat : {1.0, 1.5, 2.0, 0.75, 3.0, 1.0000001}) {
    for (const int32_t click : {1, 2, 3}) {
      const double total = perBeat * 16777216.0 + 3000000.0 * click;
      const Track track = Grid(44100, TempoFor(44100, perBeat), static_cast<int32_t>(total), click);
      ASSERT_EQ(AppendedSamples(track), WalkedSamples(track)) << Describe(track);
    }
  }
}

TEST(WavAppendedSamples, MatchesTheWalkWherePositionsAreSamplesApart) {
  // Beyond 2^24 samples the positions lie 2, 4, ... 128 samples apart, and an
  // odd click then meets them at different offsets beat after beat.
  for (const int32_t click : {63, 255, 1023}) {
    const double ulp = std::ldexp(1.0, std::ilogb(static_cast<double>(click)) - 23);
    for (const double perBeat :
         {1.0 * click, click + ulp, click - ulp, click + 0x1p-10, click - 0x1p-10, click - 0.3}) {
      const Track track = Grid(44100, TempoFor(44100, perBeat), 2147483647, click);
      ASSERT_EQ(AppendedSamples(track), WalkedSamples(track)) << Describe(track);
    }
  }
}

TEST(WavAppendedSamples, SpecialGrids) {
  for (const float tempo : {0.0f, -0.0f, -120.0f, kInf, -kInf, std::nanf(""), 1e30f, 1e-30f}) {
    for (const int32_t click : {0, 1, 7, 2205}) {
      for (const int32_t total : {-5, 0, 1, 6, 7, 8, 1000, 100000}) {
        const Track track = Grid(44100, tempo, total, click);
        ASSERT_EQ(AppendedSamples(track), WalkedSamples(track)) << Describe(track);
      }
    }
  }
}

}  // namespace
}  // namespace zembrol
