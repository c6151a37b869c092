#include "wav/wav.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/samples.h"
#include "e2e.h"

namespace zembrol {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 3)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Byte order helpers --------------------------------------------------------

TEST(WavDecon, TwoBytesLowFirst) {
  const struct {
    uint16_t value;
    Bytes bytes;
  } cases[] = {
      {0, {0, 0}}, {1, {1, 0}}, {24, {0x18, 0}}, {0x1234, {0x34, 0x12}}, {0xFFFF, {0xFF, 0xFF}}};
  for (const auto& c : cases) {
    Bytes out(2);
    Decon2(c.value, out.data());
    EXPECT_EQ(out, c.bytes) << c.value;
  }
}

TEST(WavDecon, FourBytesLeastSignificantFirst) {
  const struct {
    int32_t value;
    Bytes bytes;
  } cases[] = {{0, {0, 0, 0, 0}},
               {36, {0x24, 0, 0, 0}},
               {44100, {0x44, 0xAC, 0, 0}},
               {132300, {0xCC, 0x04, 0x02, 0}},
               {12700800, {0x80, 0xCC, 0xC1, 0}},
               {0x01020304, {4, 3, 2, 1}},
               {2147483611, {0xDB, 0xFF, 0xFF, 0x7F}},
               {INT32_MAX, {0xFF, 0xFF, 0xFF, 0x7F}}};
  for (const auto& c : cases) {
    Bytes out(4);
    Decon4(c.value, out.data());
    EXPECT_EQ(out, c.bytes) << c.value;
  }
}

TEST(WavDecon, BytesPerSample) {
  EXPECT_EQ(BytesPerSample(24), 3);
  EXPECT_EQ(BytesPerSample(16), 2);
  EXPECT_EQ(BytesPerSample(8), 1);
  EXPECT_EQ(BytesPerSample(32), 4);
  EXPECT_EQ(BytesPerSample(20), 2);
}

// Header --------------------------------------------------------------------

Bytes HeaderFile(uint32_t rate, uint32_t bits, int32_t samples) {
  const auto header = HeaderBytes(rate, bits, samples);
  return Bytes(header.begin(), header.end());
}

constexpr char kHeader24At44100[] =
    "52 49 46 46 24 00 00 00 57 41 56 45 66 6d 74 20 10 00 00 00 01 00 01 00 "
    "44 ac 00 00 cc 04 02 00 03 00 18 00 64 61 74 61 00 00 00 00";

TEST(WavHeader, ZeroSamplesAt24Bits44100) {
  EXPECT_EQ(HeaderFile(44100, 24, 0), FromHex(kHeader24At44100));
}

TEST(WavHeader, DefaultTrackSizes) {
  Bytes expected = FromHex(kHeader24At44100);
  const Bytes riff = {0xa4, 0xcc, 0xc1, 0x00}, data = {0x80, 0xcc, 0xc1, 0x00};
  std::copy(riff.begin(), riff.end(), expected.begin() + 4);
  std::copy(data.begin(), data.end(), expected.begin() + 40);
  EXPECT_EQ(HeaderFile(44100, 24, 4233600), expected);
}

TEST(WavHeader, SixteenBitsAt48000) {
  const Bytes h = HeaderFile(48000, 16, 0);
  ASSERT_EQ(h.size(), 44u);
  EXPECT_EQ(Bytes(h.begin() + 24, h.begin() + 28), (Bytes{0x80, 0xbb, 0x00, 0x00}));
  EXPECT_EQ(Bytes(h.begin() + 28, h.begin() + 32), (Bytes{0x00, 0x77, 0x01, 0x00}));
  EXPECT_EQ(Bytes(h.begin() + 32, h.begin() + 36), (Bytes{0x02, 0x00, 0x10, 0x00}));
}

TEST(WavHeader, OtherDepthsFollowTheSameRules) {
  const struct {
    uint32_t bits;
    uint8_t blockAlign;
  } cases[] = {{8, 1}, {32, 4}, {20, 2}};
  for (const auto& c : cases) {
    const Bytes h = HeaderFile(44100, c.bits, 10);
    ASSERT_EQ(h.size(), 44u);
    EXPECT_EQ(h[32], c.blockAlign) << c.bits;
    EXPECT_EQ(h[34], c.bits) << c.bits;
    EXPECT_EQ(h[40], 10 * c.blockAlign) << c.bits;
    EXPECT_EQ(h[4], 10 * c.blockAlign + 36) << c.bits;
  }
}

// Beat grid -----------------------------------------------------------------

TEST(WavBeatGrid, SamplesPerBeat) {
  EXPECT_EQ(SamplesPerBeat(44100, 120.0f), 22050.0f);
  EXPECT_EQ(SamplesPerBeat(44100, 130.0f), 20353.845703125f);
  EXPECT_EQ(SamplesPerBeat(44100, -120.0f), -22050.0f);
  EXPECT_EQ(SamplesPerBeat(44100, 0.0f), kInf);
  EXPECT_EQ(SamplesPerBeat(44100, -0.0f), -kInf);
  EXPECT_EQ(SamplesPerBeat(44100, kInf), 0.0f);
  EXPECT_EQ(SamplesPerBeat(44100, 1e-44f), kInf);  // beyond the float range
  EXPECT_TRUE(std::isnan(SamplesPerBeat(0, 0.0f)));
  EXPECT_TRUE(std::isnan(SamplesPerBeat(44100, kNaN)));
}

// A click whose first sample is a marker that no other sample repeats.
struct MarkedClick {
  Bytes bytes;
  int32_t samples;
};

MarkedClick Marked(int32_t samples, int32_t bytesPerSample) {
  MarkedClick c{Bytes(static_cast<size_t>(samples * bytesPerSample), 0x11), samples};
  for (int32_t i = 0; i < bytesPerSample && samples > 0; ++i) c.bytes[i] = 0xAB;
  return c;
}

struct Layout {
  std::vector<int64_t> starts;  // where the clicks begin, in samples
  int64_t samples = 0;          // samples appended
  bool operator==(const Layout&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Layout& l) {
  os << l.samples << " samples, clicks at";
  for (int64_t s : l.starts) os << ' ' << s;
  return os;
}

// Renders the track and finds the marker samples in what the sink receives.
Layout Render(uint32_t rate, float tempo, int32_t total, int32_t clickSamples, int32_t bits = 24,
              size_t bufferBytes = 4096) {
  const int32_t bps = BytesPerSample(bits);
  const MarkedClick click = Marked(clickSamples, bps);
  const Bytes silence(static_cast<size_t>(bps), 0);
  const Track track{rate, bits, tempo, total, click.bytes, clickSamples, silence};
  Bytes buffer(bufferBytes);
  Layout layout;
  int64_t index = 0;
  size_t phase = 0;  // bytes seen of the current sample, which may span two blocks
  bool marked = false;
  const int64_t returned = RenderTrack(track, buffer, [&](std::span<const uint8_t> block) {
    for (uint8_t b : block) {
      if (phase == 0) marked = b == 0xAB;
      if (++phase < static_cast<size_t>(bps)) continue;
      if (marked) layout.starts.push_back(index);
      phase = 0;
      ++index;
    }
    return true;
  });
  EXPECT_EQ(phase, 0u);
  EXPECT_EQ(returned, index);
  EXPECT_EQ(AppendedSamples(track), index);
  layout.samples = index;
  return layout;
}

TEST(WavBeatGrid, ClicksAt120Bpm) {
  EXPECT_EQ(Render(44100, 120.0f, 88200, 2205), (Layout{{0, 22050, 44100, 66150}, 88200}));
}

TEST(WavBeatGrid, ClicksAt130Bpm) {
  EXPECT_EQ(Render(44100, 130.0f, 132300, 2205),
            (Layout{{0, 20354, 40708, 61062, 81416, 101770, 122124}, 132300}));
}

TEST(WavBeatGrid, TotalShorterThanAClickGivesOneWholeClick) {
  EXPECT_EQ(Render(44100, 120.0f, 44, 2205), (Layout{{0}, 2205}));
  EXPECT_EQ(Render(44100, 120.0f, 1, 2205, 16), (Layout{{0}, 2205}));
}

TEST(WavBeatGrid, NoTotalAppendsNothing) {
  EXPECT_EQ(Render(44100, 120.0f, 0, 2205), (Layout{{}, 0}));
  EXPECT_EQ(Render(44100, 120.0f, -7, 2205), (Layout{{}, 0}));
}

TEST(WavBeatGrid, LastClickRunsPastTheTotal) {
  EXPECT_EQ(Render(44100, 120.0f, 22051, 2205), (Layout{{0, 22050}, 24255}));
}

TEST(WavBeatGrid, ClicksLongerThanABeatFollowBackToBack) {
  EXPECT_EQ(Render(44100, 2400.0f, 3307, 2205), (Layout{{0, 2205}, 4410}));
  EXPECT_EQ(Render(44100, 1800.0f, 8000, 2205), (Layout{{0, 2205, 4410, 6615}, 8820}));
}

TEST(WavBeatGrid, PositionsThatAreNotANumberGiveSilenceAfterTheFirstClick) {
  // NaN samples per beat: the first position is 0, every later one NaN.
  EXPECT_EQ(Render(44100, kNaN, 10000, 100), (Layout{{0}, 10000}));
  EXPECT_EQ(Render(0, 0.0f, 10000, 100), (Layout{{0}, 10000}));
}

TEST(WavBeatGrid, InfinitePositionsGiveSilenceAfterTheFirstClick) {
  EXPECT_EQ(Render(44100, 0.0f, 10000, 100), (Layout{{0}, 10000}));
}

TEST(WavBeatGrid, PositionsAtOrBelowZeroGiveBackToBackClicks) {
  EXPECT_EQ(Render(44100, -120.0f, 1000, 300), (Layout{{0, 300, 600, 900}, 1200}));
  EXPECT_EQ(Render(44100, -0.0f, 1000, 300), (Layout{{0, 300, 600, 900}, 1200}));
  EXPECT_EQ(Render(44100, kInf, 1000, 300), (Layout{{0, 300, 600, 900}, 1200}));
}

TEST(WavBeatGrid, EmptyClickGivesSilenceWhateverTheTempo) {
  for (float tempo : {120.0f, -120.0f, 0.0f, kInf, kNaN, 1e30f}) {
    EXPECT_EQ(Render(44100, tempo, 5000, 0), (Layout{{}, 5000})) << tempo;
  }
}

TEST(WavBeatGrid, CountIsComparedExactlyBeyond2To24Samples) {
  // 16777220 samples per beat; 16777219 would round up to it in single
  // precision, and the second click must still start at 16777220.
  EXPECT_EQ(Render(16777220, 60.0f, 16777230, 3, 16, 1 << 20), (Layout{{0, 16777220}, 16777230}));
}

TEST(WavBeatGrid, PositionsBeyond2To24FallOnEvenSamples) {
  // 16777216.5 samples per beat rounds to 16777216: beat 2 lies at 2^25.
  const Layout l = Render(33554433, 120.0f, 33554440, 2, 16, 1 << 20);
  EXPECT_EQ(l, (Layout{{0, 16777216, 33554432}, 33554440}));
}

// Property: the block writer against a plain one-sample-at-a-time loop --------

// The writer's loop as it reads, one sample at a time; `put(bytes, n)` receives
// every sample's bytes. Returns the samples appended.
template <class Put>
int64_t ReferenceTrack(const Track& t, Put put) {
  const float perBeat = static_cast<float>(t.rate / (t.tempo / 60.0));
  const int bps = BytesPerSample(t.bits);
  if (t.totalSamples <= 0) return 0;
  int64_t count = 0;
  float beats = 0.0f;
  float next = 0.0f;
  while (count < t.totalSamples) {
    if (static_cast<double>(count) >= static_cast<double>(next)) {
      beats += 1.0f;
      put(t.click.data(), static_cast<size_t>(t.clickSamples * bps));
      count += t.clickSamples;
      if (count >= t.totalSamples) break;
      next = static_cast<float>(static_cast<double>(perBeat) * beats);
    } else {
      put(t.silence.data(), static_cast<size_t>(bps));
      count += 1;
    }
  }
  return count;
}

uint64_t Fnv1a(uint64_t hash, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
  return hash;
}

struct RandomCase {
  uint32_t rate;
  int32_t bits;
  float tempo;
  int32_t total;
  Bytes click;
  int32_t clickSamples;
  Bytes silence;
  size_t bufferBytes;
  Track track() const { return {rate, bits, tempo, total, click, clickSamples, silence}; }
};

std::string Describe(const RandomCase& c) {
  char text[200];
  std::snprintf(text, sizeof text, "rate %u bits %d tempo %.9g total %d click %d buffer %zu",
                c.rate, c.bits, static_cast<double>(c.tempo), c.total, c.clickSamples,
                c.bufferBytes);
  return text;
}

RandomCase Draw(std::mt19937& rng, int32_t minTotal, int32_t maxTotal) {
  auto pick = [&](auto... values) {
    const std::vector<std::common_type_t<decltype(values)...>> list{values...};
    return list[std::uniform_int_distribution<size_t>(0, list.size() - 1)(rng)];
  };
  auto chance = [&](double p) { return std::bernoulli_distribution(p)(rng); };
  RandomCase c;
  c.rate = chance(0.7) ? pick(8000u, 22050u, 44100u, 48000u, 88200u, 96000u, 192000u)
                       : std::uniform_int_distribution<uint32_t>(1, 400000)(rng);
  c.bits = pick(16, 24);
  if (chance(0.1)) {
    c.tempo = pick(kNaN, kInf, -kInf, 0.0f, -0.0f, -120.0f, -0.5f, 1e30f, 1e-30f);
  } else if (chance(0.4)) {
    c.tempo = static_cast<float>(std::uniform_int_distribution<int>(30, 300)(rng));
  } else {
    c.tempo = std::uniform_real_distribution<float>(10.0f, 600.0f)(rng);
  }
  c.total = std::uniform_int_distribution<int32_t>(minTotal, maxTotal)(rng);
  c.clickSamples = chance(0.05) ? 0 : std::uniform_int_distribution<int32_t>(1, 3000)(rng);
  const float perBeat = SamplesPerBeat(c.rate, c.tempo);
  // The plain loop never ends for an empty click on a grid that stops moving on.
  if (c.clickSamples == 0 && !(perBeat >= 1.0f || std::isnan(perBeat))) c.clickSamples = 1;
  const int bps = BytesPerSample(c.bits);
  c.click.resize(static_cast<size_t>(c.clickSamples * bps));
  for (uint8_t& b : c.click) b = static_cast<uint8_t>(rng());
  c.silence.assign(static_cast<size_t>(bps), 0);
  if (chance(0.2)) {
    for (uint8_t& b : c.silence) b = static_cast<uint8_t>(rng());
  }
  c.bufferBytes = pick(size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{4096}, size_t{65536},
                       size_t{1} << 20);
  return c;
}

TEST(WavBlockWriter, MatchesTheSampleLoopOnRandomTracks) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 200; ++i) {
    const RandomCase c = Draw(rng, -3, 200000);
    const Track track = c.track();
    Bytes expected;
    const int64_t expectedSamples = ReferenceTrack(
        track, [&](const uint8_t* p, size_t n) { expected.insert(expected.end(), p, p + n); });
    Bytes actual;
    Bytes buffer(c.bufferBytes);
    const int64_t samples = RenderTrack(track, buffer, [&](std::span<const uint8_t> block) {
      EXPECT_LE(block.size(), c.bufferBytes);
      actual.insert(actual.end(), block.begin(), block.end());
      return true;
    });
    ASSERT_EQ(samples, expectedSamples) << Describe(c);
    ASSERT_EQ(AppendedSamples(track), expectedSamples) << Describe(c);
    ASSERT_EQ(actual.size(), expected.size()) << Describe(c);
    ASSERT_TRUE(actual == expected) << Describe(c);
  }
}

TEST(WavBlockWriter, MatchesTheSampleLoopBeyond2To24Samples) {
  std::mt19937 rng(7);
  for (int i = 0; i < 4; ++i) {
    RandomCase c = Draw(rng, 1 << 24, (1 << 25) + (1 << 22));
    c.bufferBytes = size_t{1} << 20;
    const Track track = c.track();
    uint64_t expected = 0xcbf29ce484222325ULL;
    const int64_t expectedSamples = ReferenceTrack(
        track, [&](const uint8_t* p, size_t n) { expected = Fnv1a(expected, p, n); });
    uint64_t actual = 0xcbf29ce484222325ULL;
    Bytes buffer(c.bufferBytes);
    const int64_t samples = RenderTrack(track, buffer, [&](std::span<const uint8_t> block) {
      actual = Fnv1a(actual, block.data(), block.size());
      return true;
    });
    EXPECT_EQ(samples, expectedSamples) << Describe(c);
    EXPECT_EQ(actual, expected) << Describe(c);
  }
}

}  // namespace
}  // namespace zembrol
