// The audition "a" end to end: the program plays on `cap`, a libasound `file`
// PCM over `null` that stores the raw frames it is given.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "base/samples.h"
#include "capture.h"
#include "e2e.h"

namespace zembrol::test {
namespace {

// One settings command: its input, what its settings step prints, the menu after it.
struct Step {
  std::string input;
  std::string printed;
  Shown menu;
};

Shown OnCap(Shown v = {}) {
  v.device = "cap";
  return v;
}

const Step kOnCap = {"o cap\n", "Enter new playback device name.\n", OnCap()};

struct AuditionRun {
  RunResult result;
  std::string printed;  // what "a" printed after its click line, the next menu left out
};

// Runs start-up `answers`, the steps, then "a", and checks everything printed
// up to the click line of "a".
AuditionRun Audition(const Device& device, const std::string& answers,
                     const std::vector<Step>& steps) {
  TempDir work;
  std::string input = answers;
  std::string expected = StartUpAsked() + Menu();
  for (const Step& step : steps) {
    input += step.input;
    expected += step.printed + "\n" + Menu(step.menu);
  }
  expected += "\n";
  AuditionRun run{RunZembrol(work.path(), input + "a\n", device.env()), ""};
  const std::string& out = run.result.out;
  EXPECT_EQ(out.substr(0, expected.size()), expected);
  if (out.size() > expected.size()) run.printed = out.substr(expected.size());
  const std::string menu = Menu(steps.back().menu);
  if (run.result.status == 0 && run.printed.ends_with(menu))
    run.printed.resize(run.printed.size() - menu.size());
  return run;
}

// What one audition should have played.
struct Played {
  int32_t bits;
  int32_t beatLength;
  int32_t totalSamples;
  int32_t meter;
  const char* sha256;  // of the captured frames, measured once on amd64
};

struct PlayCase {
  const char* name;
  std::string answers;
  std::vector<Step> steps;
  Played played;
};

const char kTempoPrompt[] = "Enter tempo in beats per minute\n";
const char kLengthPrompt[] = "\nEnter audition length in seconds\n";
const char kMeterPrompt[] = "Enter beats per measure\n";

TEST(Audition, CapturedFramesAndMeasureLinesFollowTheBeat) {
  const PlayCase cases[] = {
      {"defaults: 44100 Hz 120 bpm 24 bits, 10 s",
       "1 2\n",
       {kOnCap},
       {24, 22050, 441000, 4, "55e63274df7575699909988292b70d255d9d3d8e7294e0a33da1ce6f3f82b7de"}},
      {"48000 Hz 128 bpm 16 bits",
       "2 1\n",
       {kOnCap, {"t 128\n", kTempoPrompt, {.tempo = 128.0f, .device = "cap"}}},
       {16, 22499, 480000, 4, "b41dc7370b6ad098997b38b25b0dedd5f7bb2b007140396fe7dbe3ec837b679c"}},
      {"meter 1, 2.5 s",
       "1 1\n",
       {kOnCap,
        {"b 1\n", kMeterPrompt, {.meter = 1, .device = "cap"}},
        {"al 2.5\n", kLengthPrompt, {.meter = 1, .atime = 2.5f, .device = "cap"}}},
       {16, 22050, 110250, 1, "e193976e943f8daff59b17d0f16812096ef5a40d2140a82f9d5633c431210418"}},
      {"meter 0",
       "1 2\n",
       {kOnCap, {"b 0\n", kMeterPrompt, {.meter = 0, .device = "cap"}}},
       {24, 22050, 441000, 0, "55e63274df7575699909988292b70d255d9d3d8e7294e0a33da1ce6f3f82b7de"}},
      {"click longer than a beat shorter than a period",
       "1 2\n",
       {kOnCap,
        {"t 3000\n", kTempoPrompt, {.tempo = 3000.0f, .device = "cap"}},
        {"al 1\n", kLengthPrompt, {.tempo = 3000.0f, .atime = 1.0f, .device = "cap"}}},
       {24, 882, 44100, 4, "36a19176d942c9ac7fa6d5d39deff0e268a2c48db34e3caafe60b6b467002a5b"}},
      {"empty click",
       "1 2\n",
       {kOnCap,
        {"f 1\n",
         "\nEnter lowest frequency of click in Hz\n"
         "The frequency chosen is too low for this tempo!\n",
         {.Hz = 1.0f, .device = "cap"}}},
       {24, 22050, 441000, 4, "284398050341d56e44cf67fda1e9d012a47b271c78fb9270a329706dd4b7447c"}},
      {"atime 0",
       "1 2\n",
       {kOnCap, {"al 0\n", kLengthPrompt, {.atime = 0.0f, .device = "cap"}}},
       {24, 22050, 0, 4, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}},
  };
  for (const PlayCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Played& p = c.played;
    Device device;
    const int bytesPerSample = BytesPerSample(p.bits);
    const int64_t frames = FramesPlayed(p.totalSamples);
    const AuditionRun run = Audition(device, c.answers, c.steps);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.printed, Measures(p.beatLength, p.meter, frames));
    const std::string raw = ReadFile(device.capture());
    EXPECT_EQ(raw.size(), static_cast<size_t>(frames * bytesPerSample));
    EXPECT_EQ(Sha256(raw), p.sha256);
  }
}

TEST(Audition, UnplayableTempoOrLengthPrintsOneLineAndGoesOn) {
  const struct {
    std::string input;
    std::string printed;
    Shown menu;
    std::string message;
  } cases[] = {
      {"t 0\n",
       "Enter tempo in beats per minute\n",
       {.tempo = 0.0f},
       "A tempo of 0.0 bpm gives no playable beat at 44100 Hz; nothing is played.\n"},
      {"t nan\n",
       "Enter tempo in beats per minute\n",
       {.tempo = NAN},
       "A tempo of nan bpm gives no playable beat at 44100 Hz; nothing is played.\n"},
      {"t 0.01\n",
       "Enter tempo in beats per minute\n",
       {.tempo = 0.01f},
       "A beat of 264600005 samples is too long to play; nothing is played.\n"},
      {"al 1e9\n",
       "\nEnter audition length in seconds\n",
       {.atime = 1e9f},
       "An audition length of 1000000000.0 sec is out of range at 44100 Hz; nothing is "
       "played.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Device device;
    const AuditionRun run =
        Audition(device, "1 2\n", {kOnCap, {c.input, c.printed, OnCap(c.menu)}});
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.printed, c.message);
    EXPECT_FALSE(std::filesystem::exists(device.capture()));
  }
}

TEST(Audition, DeviceFailuresEndWithStatusOne) {
  const struct {
    std::string name;
    std::string line;
  } cases[] = {
      {"nosuchdev", "unable to open pcm device: No such file or directory\n"},
      {"cap16", "unable to set playback format: Invalid argument\n"},  // S16 only, 24 bits asked
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    const AuditionRun run =
        Audition(device, "1 2\n",
                 {{"o " + c.name + "\n", "Enter new playback device name.\n", {.device = c.name}}});
    const RunResult& r = run.result;
    EXPECT_EQ(run.printed, "");  // the failure writes to standard error only
    EXPECT_EQ(r.status, 1);
    ASSERT_GE(r.err.size(), c.line.size());
    EXPECT_EQ(r.err.substr(r.err.size() - c.line.size()), c.line);
    EXPECT_EQ(r.err.find("unable"), r.err.size() - c.line.size()) << r.err;
  }
}

}  // namespace
}  // namespace zembrol::test
