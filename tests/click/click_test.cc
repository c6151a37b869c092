#include "click/click.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "golden.h"

namespace zembrol {
namespace {

constexpr char kTooLow[] = "The frequency chosen is too low for this tempo!\n";

struct Prepared {
  ClickShape shape;
  std::vector<uint8_t> packed;
  std::string printed;
};

Prepared Prepare(const ClickRequest& request, ClickShape shape = {}) {
  testing::internal::CaptureStdout();
  Prepared p;
  p.packed = PrepareClick(request, shape);
  p.printed = testing::internal::GetCapturedStdout();
  p.shape = shape;
  return p;
}

struct GeometryCase {
  uint32_t rate;
  float hz;
  int32_t partials;
  int32_t cycles;
  int32_t clickSamples;
  bool tooLow;
};

void PrintTo(const GeometryCase& c, std::ostream* os) {
  *os << c.rate << " Hz rate, " << c.hz << " Hz";
}

class ClickGeometry : public testing::TestWithParam<GeometryCase> {};

TEST_P(ClickGeometry, FitsFromTheStartValues) {
  const GeometryCase& c = GetParam();
  Prepared p = Prepare({.rate = c.rate, .Hz = c.hz, .bits = 24, .trackSeconds = 96.0f});
  EXPECT_EQ(p.shape.partials, c.partials);
  EXPECT_EQ(p.shape.cycles, c.cycles);
  EXPECT_EQ(p.shape.clickSamples, c.clickSamples);
  EXPECT_EQ(p.packed.size(), static_cast<size_t>(c.clickSamples) * 3);
  EXPECT_EQ(p.printed, c.tooLow ? std::string(kTooLow) + "\n" : "\n");
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(Table, ClickGeometry,
                         testing::Values(GeometryCase{44100, 60.0f, 8, 3, 2205, false},
                                         GeometryCase{44100, 172.0f, 8, 3, 768, false},
                                         GeometryCase{44100, 172.3f, 7, 3, 765, false},
                                         GeometryCase{44100, 200.0f, 7, 3, 660, false},
                                         GeometryCase{44100, 1000.0f, 5, 3, 132, false},
                                         GeometryCase{44100, 22050.0f, 1, 3, 6, false},
                                         GeometryCase{44100, 22051.0f, 0, 3, 3, false},
                                         GeometryCase{44100, 30000.0f, 0, 3, 3, false},
                                         GeometryCase{44100, 44100.0f, 0, 3, 3, false},
                                         GeometryCase{44100, 50000.0f, -1, 3, 0, false},
                                         GeometryCase{44100, 3.0f, 8, 2, 29400, false},
                                         GeometryCase{44100, 3.0001f, 8, 3, 44097, false},
                                         GeometryCase{44100, 2.0f, 8, 1, 22050, false},
                                         GeometryCase{44100, 1.5f, 8, 1, 29400, false},
                                         GeometryCase{44100, 1.0f, 8, 0, 0, true},
                                         GeometryCase{44100, 0.5f, 8, 0, 0, true},
                                         GeometryCase{44100, -60.0f, 8, 0, 0, true},
                                         GeometryCase{44100, 60.5f, 8, 3, 2184, false},
                                         GeometryCase{48000, 60.0f, 8, 3, 2400, false},
                                         GeometryCase{96000, 60.0f, 8, 3, 4800, false},
                                         GeometryCase{48000, 187.5f, 8, 3, 768, false},
                                         GeometryCase{48000, 187.5078125f, 7, 3, 765, false},
                                         // A rate of 0 never fits the one-second bound.
                                         GeometryCase{0, 60.0f, -5, 0, 0, true},
                                         // No 32-bit lowest period: treated as too low.
                                         GeometryCase{44100, 0.0f, 8, 0, 0, true},
                                         GeometryCase{44100, kNaN, 8, 0, 0, true},
                                         GeometryCase{44100, 1e-5f, 8, 0, 0, true},
                                         // Products beyond 2^31 are compared in double precision.
                                         GeometryCase{44100, 16777216.0f, -9, 3, 0, false},
                                         GeometryCase{44100, 3e38f, -113, 3, 0, false},
                                         GeometryCase{44100, kInf, 0, 3, 0, false}));

// Only rates above 2^22 Hz can ask for more than 2^22 samples.
TEST(ClickGeometry, ClickBeyondTheLimitIsSilentWithOneLine) {
  struct {
    uint32_t rate;
    float hz;
    const char* printed;
  } cases[] = {
      {8388608, 2.5f, "A click of 6710886 samples is too long to make; the click is silent.\n\n"},
      // 3 cycles of 2045222614 samples wrap the 32-bit count below the rate.
      {4294967295u, 2.1f,
       "A click of 1840700546 samples is too long to make; the click is silent.\n\n"},
      {8388608, 60.0f, "\n"},      // 3 x 139810 samples: made
      {4194304, 1.000001f, "\n"},  // 4194303 samples, just below the rate and the limit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    Prepared p = Prepare({.rate = c.rate, .Hz = c.hz, .bits = 24});
    EXPECT_EQ(p.printed, c.printed);
    EXPECT_EQ(p.packed.size(), static_cast<size_t>(p.shape.clickSamples) * 3);
    EXPECT_LE(static_cast<uint32_t>(p.shape.clickSamples), kMaxClickSamples);
    EXPECT_EQ(Prepare({.rate = c.rate, .Hz = c.hz, .bits = 24}, p.shape).printed, "\n");
  }
}

TEST(ClickGeometry, CountsOnlyGoDownDuringARun) {
  ClickShape shape;
  shape = Prepare({.Hz = 200.0f}, shape).shape;
  Prepared back = Prepare({.Hz = 60.0f}, shape);
  EXPECT_EQ(back.shape.partials, 7);
  EXPECT_EQ(back.shape.clickSamples, 2205);

  shape = Prepare({.Hz = 2.5f}, ClickShape{}).shape;
  EXPECT_EQ(Prepare({.Hz = 60.0f}, shape).shape.cycles, 2);
}

TEST(ClickGeometry, EmptyClickStaysEmptyWithoutASecondMessage) {
  Prepared low = Prepare({.Hz = 1.0f});
  EXPECT_EQ(low.printed, std::string(kTooLow) + "\n");
  Prepared again = Prepare({.Hz = 60.0f}, low.shape);
  EXPECT_EQ(again.printed, "\n");
  EXPECT_EQ(again.shape.clickSamples, 0);
  EXPECT_TRUE(again.packed.empty());
}

struct TrackCase {
  uint32_t rate;
  float seconds;
  int32_t trackSamples;
  bool tooLong;
};

void PrintTo(const TrackCase& c, std::ostream* os) { *os << c.rate << " x " << c.seconds << " s"; }

class TrackLength : public testing::TestWithParam<TrackCase> {};

TEST_P(TrackLength, IsRateTimesSecondsTruncated) {
  const TrackCase& c = GetParam();
  Prepared p = Prepare({.rate = c.rate, .Hz = 60.0f, .trackSeconds = c.seconds});
  EXPECT_EQ(p.shape.trackSamples, c.trackSamples);
  EXPECT_EQ(p.shape.trackTooLong, c.tooLong);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrackLength,
    testing::Values(TrackCase{44100, 96.0f, 4233600, false},
                    TrackCase{48000, 96.0f, 4608000, false},
                    TrackCase{96000, 96.0f, 9216000, false},
                    TrackCase{44100, 82.285713f, 3628799, false}, TrackCase{44100, 0.0f, 0, false},
                    TrackCase{44100, -96.0f, 0, false}, TrackCase{44100, kNaN, 0, false},
                    TrackCase{44100, kInf, 0, false}, TrackCase{44100, 48695.0f, 2147449500, false},
                    TrackCase{44100, 48696.0f, 0, true}));

TEST(GenClick, LowestThousandAtRateEightThousand) {
  std::vector<int32_t> values(8, 77);
  testing::internal::CaptureStdout();
  GEN_CLICK(values, 1000, 1, 1, 8000, 8);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");
  EXPECT_EQ(values,
            (std::vector<int32_t>{0, 2224365, 3145728, 2224365, 0, -2224365, -3145728, -2224364}));
}

TEST(GenClick, StopsAtTheClickLength) {
  std::vector<int32_t> values(2205, 12345);
  testing::internal::CaptureStdout();
  GEN_CLICK(values, 60, 3, 8, 44100, 2184);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(
      std::all_of(values.begin() + 2184, values.end(), [](int32_t v) { return v == 12345; }));
  std::vector<int32_t> full(2205);
  testing::internal::CaptureStdout();
  GEN_CLICK(full, 60, 3, 8, 44100, 2205);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::equal(values.begin(), values.begin() + 2184, full.begin()));
}

TEST(GenClick, DefaultClickStaysWithinThreeQuartersOfFullScale) {
  std::vector<int32_t> values(2205);
  testing::internal::CaptureStdout();
  GEN_CLICK(values, 60, 3, 8, 44100, 2205);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(values[0], 0);
  // Golden samples: cycle steps of partial 1 at 735 and 1470, partial 2 at 367 and 734.
  const std::pair<int, int32_t> golden[] = {{1, 105448},    {2, 210811},   {100, 3976328},
                                            {367, 11133},   {734, -38654}, {735, 0},
                                            {1000, 821731}, {1470, 0},     {2204, -6722}};
  for (auto [index, value] : golden) EXPECT_EQ(values[index], value) << index;
  auto [lo, hi] = std::minmax_element(values.begin(), values.end());
  EXPECT_GT(*lo, -6291456);
  EXPECT_LT(*hi, 6291456);
  EXPECT_GT(*hi, 3000000);  // the first cycles of all partials add up
}

TEST(GenClick, PackedClicksMatchTheirGoldenDigests) {
  for (const test::GoldenClick& golden : test::kGoldenClicks) {
    Prepared p = Prepare({.rate = golden.rate, .Hz = golden.Hz, .bits = golden.bits});
    EXPECT_EQ(p.shape.clickSamples, golden.clickSamples) << golden.rate << " " << golden.Hz;
    EXPECT_EQ(test::Sha256(p.packed), golden.sha256) << golden.rate << " " << golden.Hz;
  }
}

TEST(GenClick, SilentCountsAndLengthsWriteOnlyZeros) {
  for (auto [cycles, partials, length] :
       {std::tuple{0, 8, 10}, {3, 0, 10}, {-1, 8, 10}, {3, -2, 10}, {3, 8, 0}, {3, 8, -5}}) {
    std::vector<int32_t> values(10, 9);
    testing::internal::CaptureStdout();
    GEN_CLICK(values, 60, cycles, partials, 44100, length);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");
    const int32_t zeros = std::max(length, 0);
    EXPECT_EQ(std::count(values.begin(), values.end(), 0), zeros);
    EXPECT_EQ(std::count(values.begin(), values.end(), 9), 10 - zeros);
  }
}

struct PackCase {
  int32_t value;
  std::vector<uint8_t> bytes24;
  std::vector<uint8_t> bytes16;
};

void PrintTo(const PackCase& c, std::ostream* os) { *os << c.value; }

class Packing : public testing::TestWithParam<PackCase> {};

TEST_P(Packing, LittleEndianTwosComplement) {
  const PackCase& c = GetParam();
  std::vector<uint8_t> out24(3, 0xAA), out16(2, 0xAA);
  NUM24_TO_CHAR(&c.value, out24.data(), 1);
  NUM24_TO_CHAR16(&c.value, out16.data(), 1);
  EXPECT_EQ(out24, c.bytes24);
  EXPECT_EQ(out16, c.bytes16);
}

INSTANTIATE_TEST_SUITE_P(Table, Packing,
                         testing::Values(PackCase{0, {0x00, 0x00, 0x00}, {0x00, 0x00}},
                                         PackCase{1, {0x01, 0x00, 0x00}, {0x00, 0x00}},
                                         PackCase{255, {0xFF, 0x00, 0x00}, {0x00, 0x00}},
                                         PackCase{256, {0x00, 0x01, 0x00}, {0x01, 0x00}},
                                         PackCase{-1, {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF}},
                                         PackCase{-256, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF}},
                                         PackCase{-257, {0xFF, 0xFE, 0xFF}, {0xFE, 0xFF}},
                                         PackCase{-65536, {0x00, 0x00, 0xFF}, {0x00, 0xFF}},
                                         PackCase{3145728, {0x00, 0x00, 0x30}, {0x00, 0x30}},
                                         PackCase{-3145728, {0x00, 0x00, 0xD0}, {0x00, 0xD0}},
                                         PackCase{8388607, {0xFF, 0xFF, 0x7F}, {0xFF, 0x7F}},
                                         PackCase{8388608, {0x00, 0x00, 0x80}, {0x00, 0x80}},
                                         PackCase{-8388609, {0xFF, 0xFF, 0x7F}, {0xFF, 0x7F}}));

TEST(Packing, WholeClickHasNoGapsAndCountZeroWritesNothing) {
  const std::vector<int32_t> values{0x123456, -2, 0x7F00};
  std::vector<uint8_t> out(9, 0xAA);
  NUM24_TO_CHAR(values.data(), out.data(), 0);
  NUM24_TO_CHAR16(values.data(), out.data(), -1);
  EXPECT_EQ(out, std::vector<uint8_t>(9, 0xAA));
  NUM24_TO_CHAR(values.data(), out.data(), 3);
  EXPECT_EQ(out, (std::vector<uint8_t>{0x56, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0x00, 0x7F, 0x00}));
  NUM24_TO_CHAR16(values.data(), out.data(), 3);
  EXPECT_EQ(out, (std::vector<uint8_t>{0x34, 0x12, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x7F, 0x00}));
}

TEST(ClickPreparation, DefaultClickPacksTo6615And4410Bytes) {
  Prepared p24 = Prepare({.bits = 24});
  Prepared p16 = Prepare({.bits = 16});
  ASSERT_EQ(p24.packed.size(), 6615u);
  ASSERT_EQ(p16.packed.size(), 4410u);
  std::vector<int32_t> values(2205);
  testing::internal::CaptureStdout();
  GEN_CLICK(values, 60, 3, 8, 44100, 2205);
  testing::internal::GetCapturedStdout();
  for (size_t i = 0; i < values.size(); ++i) {
    const uint32_t v = static_cast<uint32_t>(values[i]);
    ASSERT_EQ(p24.packed[3 * i + 2], static_cast<uint8_t>(v >> 16)) << i;
    ASSERT_EQ(p16.packed[2 * i], static_cast<uint8_t>(v >> 8)) << i;
  }
}

}  // namespace
}  // namespace zembrol
