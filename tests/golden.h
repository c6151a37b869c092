// Golden values measured once on amd64 and checked in: every architecture
// must give these exact clicks, so expectations built from a click are only
// built from one whose digest matches.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "click/click.h"
#include "sha256.h"

namespace zembrol::test {

struct GoldenClick {
  uint32_t rate;
  float Hz;
  int32_t bits;
  int32_t clickSamples;
  const char* sha256;  // of the packed click
};

inline constexpr GoldenClick kGoldenClicks[] = {
    {44100, 60.0f, 24, 2205, "a9b9db826e0ad70e5a9037540b68f32bdc6cb7a50d57b11a1c043b522976b7f7"},
    {44100, 60.0f, 16, 2205, "855dc2cd5a6a93187ce764d31790b73b804b77319231f9ceab354df733f8fbf0"},
    {48000, 60.0f, 24, 2400, "18940981b3834d0e4fa18a2c806a77592c028791776a7ea4bb2544fdcb155eab"},
    {48000, 60.0f, 16, 2400, "2f3ab22984dc00b674953fb61479ca3c68f8cf213577e4d3ade2dcfb213bd1f5"},
    {88200, 60.0f, 24, 4410, "602203e1926daa24bf699495804629b53e2b8b2b87d5efd0502640f2284e735a"},
    {88200, 60.0f, 16, 4410, "a4543cc888b92ab22b0d5e6ba049ef31961e9baf7258a006ad88583abe909ce0"},
    {96000, 60.0f, 24, 4800, "c8f0965bd7f2a0e9008ff72e44ab65c17894ee714f0967bd70ebdaf37f45dd19"},
    {96000, 60.0f, 16, 4800, "afbfa1fe5f71a85a1358a8ce23ffd1acc13c7257f7e3b064e4e8fb63f2a3ca7d"},
    {44100, 172.3f, 24, 765, "7ea4add9ecaf0d97bfa9d03baa33b6164880292d3a821e0f9f5c835b83b9832d"},
    {44100, 1000.0f, 16, 132, "d4db47d673bb2b1cd584b4e0681a34a6813868918dd07f64cc1fb273f6ef2f79"},
    {44100, 2.5f, 24, 35280, "9a714443a18e3df41fa0c0aa6a6a7e016088a3ed4b1c0efb9ccaa01d80b495c3"},
    {8000, 60.5f, 24, 396, "9153387200a98d3750893125c916e1112010bfa69516e3686c74112abd1172f6"},
    {22050, 440.0f, 16, 150, "a72936a7e62cc53ec0ec67a342ccc3f6d138be04f683d8ba5282016f1b6428c7"},
    {44100, 22051.0f, 24, 3, "3e7077fd2f66d689e0cee6a7cf5b37bf2dca7c979af356d0a31cbc5c85605c7d"},
    {44100, 60.5f, 24, 2184, "d0e67734a1d0e45bca06ec8c7623f6eca3c839d2555e106846631da82801e349"},
    {44100, 1.0f, 24, 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
};

inline std::string Sha256(const std::vector<uint8_t>& bytes) {
  return Sha256(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// The click the program prepares from the start values at `rate`, `Hz` and
// `bits`, which must match its golden digest.
inline std::vector<uint8_t> Click(uint32_t rate, float Hz, int32_t bits) {
  ClickShape shape;
  testing::internal::CaptureStdout();  // the synthesis prints a newline
  std::vector<uint8_t> click = PrepareClick(ClickRequest{rate, Hz, bits, 0.0f}, shape);
  testing::internal::GetCapturedStdout();
  for (const GoldenClick& golden : kGoldenClicks) {
    if (golden.rate == rate && golden.Hz == Hz && golden.bits == bits) {
      EXPECT_EQ(shape.clickSamples, golden.clickSamples) << rate << " Hz " << Hz << " Hz " << bits;
      EXPECT_EQ(Sha256(click), golden.sha256) << rate << " Hz " << Hz << " Hz " << bits;
      return click;
    }
  }
  ADD_FAILURE() << "no golden click for " << rate << " Hz, " << Hz << " Hz, " << bits << " bits";
  return click;
}

}  // namespace zembrol::test
