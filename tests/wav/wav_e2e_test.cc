// The "w" and "+" commands run in the real binary: whole files compared byte
// for byte, read back with soxi, and every refusal leaving the file as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "base/samples.h"
#include "e2e.h"
#include "golden.h"
#include "riff_bytes.h"

namespace zembrol::test {
namespace {

// The settings of a run: one measure unless said otherwise.
Shown Chosen(uint32_t rate = 44100, int bits = 24, float tempo = 120.0f, int meter = 4,
             int meas = 1) {
  return {.rate = rate, .bits = bits, .tempo = tempo, .meter = meter, .meas = meas};
}

// Writes the settings file for `s` and returns what start-up then prints.
std::string UseSettings(const TempDir& dir, const Shown& s) {
  WriteFile(dir / "rczembrol.txt", SettingsFile(s));
  return StartUpLoaded(s);
}

// The packed click at `rate` and `bits` with 60 Hz, checked against its golden digest.
std::string ClickFor(uint32_t rate, int bits) {
  const std::vector<uint8_t> click = Click(rate, 60.0f, bits);
  return std::string(click.begin(), click.end());
}

// `samples` samples of silence with the click copied in at each start.
std::string Track(const std::string& click, int bits, const std::vector<int>& starts, int samples) {
  const size_t bps = static_cast<size_t>(BytesPerSample(bits));
  std::string t(static_cast<size_t>(samples) * bps, '\0');
  for (int start : starts) t.replace(static_cast<size_t>(start) * bps, click.size(), click);
  return t;
}

// What soxi reports for `option` (-r rate, -b bits, -c channels, -s samples).
std::string Soxi(const std::filesystem::path& file, const char* option) {
  return CommandOutput(std::string("soxi ") + option + " '" + file.string() + "'");
}

void ExpectSoxiSees(const std::filesystem::path& file, uint32_t rate, int bits, int samples) {
  EXPECT_EQ(Soxi(file, "-r"), std::to_string(rate));
  EXPECT_EQ(Soxi(file, "-b"), std::to_string(bits));
  EXPECT_EQ(Soxi(file, "-c"), "1");
  EXPECT_EQ(Soxi(file, "-s"), std::to_string(samples));
}

// Keeps the files this process and its children write below `bytes`, so that
// a refusal that fails cannot fill the disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

// "w" ------------------------------------------------------------------------

struct WriteCase {
  Shown setup;
  int total;  // samples the header declares
  std::vector<int> starts;
  int appended;
};

void PrintTo(const WriteCase& c, std::ostream* os) { PrintTo(c.setup, os); }

class WavWriteCommand : public testing::TestWithParam<WriteCase> {};

TEST_P(WavWriteCommand, WritesHeaderAndClicksExactly) {
  const WriteCase& c = GetParam();
  TempDir dir;
  const std::string startUp = UseSettings(dir, c.setup);
  RunResult r = RunZembrol(dir.path(), "w\n");
  EXPECT_EQ(r.out, startUp + Menu(c.setup) + "\n" + Menu(c.setup));
  EXPECT_EQ(r.status, 0);
  const std::string click = ClickFor(c.setup.rate, c.setup.bits);
  const std::string expected = Header(c.setup.rate, c.setup.bits, c.total) +
                               Track(click, c.setup.bits, c.starts, c.appended);
  const std::string file = ReadFile(dir / "click.wav");
  ASSERT_EQ(file.size(), expected.size());
  EXPECT_TRUE(file == expected);
  ExpectSoxiSees(dir / "click.wav", c.setup.rate, c.setup.bits, c.total);
}

INSTANTIATE_TEST_SUITE_P(
    Tracks, WavWriteCommand,
    testing::Values(
        // 120 bpm: a click every 22050 samples.
        WriteCase{Chosen(44100, 24, 120.0f, 4, 1), 88200, {0, 22050, 44100, 66150}, 88200},
        WriteCase{Chosen(44100, 16, 120.0f, 4, 1), 88200, {0, 22050, 44100, 66150}, 88200},
        // 130 bpm: 20353.845703125 samples per beat.
        WriteCase{Chosen(44100, 24, 130.0f, 7, 1),
                  142476,
                  {0, 20354, 40708, 61062, 81416, 101770, 122124},
                  142476},
        WriteCase{Chosen(48000, 16, 130.0f, 7, 1),
                  155076,
                  {0, 22154, 44308, 66462, 88616, 110770, 132924},
                  155076},
        WriteCase{Chosen(96000, 24, 97.5f, 3, 2),
                  354461,
                  {0, 59077, 118154, 177231, 236308, 295385},
                  354461},
        WriteCase{
            Chosen(88200, 16, 200.0f, 5, 1), 132300, {0, 26460, 52920, 79380, 105840}, 132300},
        // A total shorter than the click: one whole click.
        WriteCase{Chosen(44100, 24, 60000.0f, 1, 1), 44, {0}, 2205},
        // Clicks longer than a beat follow each other; the last runs past the total.
        WriteCase{Chosen(44100, 24, 2400.0f, 3, 1), 3307, {0, 2205}, 4410},
        WriteCase{Chosen(48000, 16, 2400.0f, 3, 1), 3600, {0, 2400}, 4800},
        // No measures: the header alone.
        WriteCase{Chosen(44100, 24, 120.0f, 4, 0), 0, {}, 0}));

TEST(WavWriteCommandReplaces, ALongerFile) {
  TempDir dir;
  UseSettings(dir, Chosen(44100, 24, 120.0f, 4, 0));
  WriteFile(dir / "click.wav", std::string(1 << 20, 'j'));
  RunResult r = RunZembrol(dir.path(), "w\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(dir / "click.wav"), Header(44100, 24, 0));
}

// Whole files, pinned by digests measured once on amd64 ----------------------

// 60 sections with fractional tempos, so that many beat grids fall between samples.
std::string ManySections() {
  std::string map;
  for (int k = 1; k <= 60; ++k) {
    const int hundredths = 4000 + 371 * k;
    char line[64];
    std::snprintf(line, sizeof line, "tmap\t%d.%02d\t%d\t%d\n", hundredths / 100, hundredths % 100,
                  1 + k % 7, 1 + k % 3);
    map += line;
  }
  return map;
}

TEST(WavGoldenFiles, EveryArchitectureWritesTheseBytes) {
  const struct {
    const char* settings;
    std::string map;
    const char* command;
    size_t bytes;
    const char* sha256;
  } cases[] = {
      {"rate\t44100\nbits\t24\ntempo\t120\nmeter\t4\nmeas\t2\n", "", "w", 529244,
       "113243d7aeb69600d8bf447f96726f43b155cc184ad80af048402606136f4ab5"},
      {"rate\t48000\nbits\t16\ntempo\t133.7\nHz\t172.3\nmeter\t3\nmeas\t5\n", "", "w", 646266,
       "9d266abe8644a9b2fd91d067dc04bb9e8aa2e2afd62e501978e1b86529a85955"},
      {"rate\t96000\nbits\t24\ntempo\t97.3\nHz\t1000\nmeter\t7\nmeas\t2\n", "", "w", 2486372,
       "ba72d1a4afcee77764047f9fe31b3e2c4b661d5f8c85b10e1da29862ae0a76b4"},
      {"rate\t22050\nbits\t16\ntempo\t59.9\nHz\t2.5\nmeter\t5\nmeas\t3\n", "", "w", 662648,
       "068639285a66901d1f9c153efc2c5c6d104028edf90cd7d42c57da4aa26dd51f"},
      {"rate\t44100\nbits\t24\ntempo\t171.3\nHz\t60.5\nmeter\t4\nmeas\t3\n", "", "w", 556121,
       "fa94ccdda351d879256d7fdfbb05b15e3cad4701821af46052e72c52733c7e4f"},
      // Beyond 2^24 samples, where beat positions fall on even samples.
      {"rate\t8000\nbits\t16\ntempo\t7.3\nHz\t60.5\nmeter\t1\nmeas\t300\n", "", "w", 39452888,
       "67dbf2c9a16964c1669a1409c23209e75e096b24ab0be6a75439a2ed4e897131"},
      {"rate\t44100\nbits\t24\n", "tmap\t120\t4\t48\ntmap\t160\t3\t16\n", "rtm", 15082244,
       "f7f46c4f01467a280575530de5e161da86c3b8587d23ab721a826251dc243bde"},
      {"rate\t48000\nbits\t16\nHz\t440\n",
       "tmap\t97.5\t3\t2\ntmap\t133.33\t7\t3\ntmap\t42\t3\t1\ntmap\t211.7\t5\t4\n", "rtm", 2217320,
       "a50bd71d5ea157f791fe33455f276bc398120e0d1e517e2621e1202ca17dc181"},
      {"rate\t8000\nbits\t16\nHz\t1000\n", ManySections(), "rtm", 3715468,
       "422a37d288206ebfa8fa7d1ee991e7f71132ba2de07635e71016c1c1564d430b"},
      {"rate\t22050\nbits\t24\nHz\t1000\n", ManySections(), "rtm", 15361148,
       "75609eb48f517b1c95e8c097327770f8cb3319c4685c44df2a5fcb9dc25b0656"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.settings) + c.command);
    TempDir dir;
    WriteFile(dir / "rczembrol.txt", c.settings);
    if (!c.map.empty()) WriteFile(dir / "tmap.txt", c.map);
    const RunResult r = RunZembrol(dir.path(), std::string(c.command) + "\n");
    EXPECT_EQ(r.status, 0);
    const std::string file = ReadFile(dir / "click.wav");
    EXPECT_EQ(file.size(), c.bytes);
    EXPECT_EQ(Sha256(file), c.sha256);
  }
}

// "+" ------------------------------------------------------------------------

class WavAppendCommand : public testing::TestWithParam<Shown> {};

TEST_P(WavAppendCommand, StartsItsOwnGridAtTheEndAndFixesTheSizes) {
  const Shown first = GetParam();
  Shown second = first;
  second.tempo = 90.0f;  // 4 beats of 90 bpm: the track lasts 2.6666667 s
  TempDir dir;
  const std::string startUp = UseSettings(dir, first);
  RunResult r = RunZembrol(dir.path(), "w\nt 90\n+\n");
  EXPECT_EQ(r.out, startUp + Menu(first) + "\n" + Menu(first) +
                       "Enter tempo in beats per minute\n\n" + Menu(second) + "\n" + Menu(second));
  EXPECT_EQ(r.status, 0);

  const uint32_t rate = first.rate;
  const int bits = first.bits;
  const int beat1 = static_cast<int>(rate / 2);       // 120 bpm
  const int beat2 = static_cast<int>(rate * 2 / 3);   // 90 bpm
  const int total2 = static_cast<int>(rate * 8 / 3);  // 2.6666667 s, truncated
  const std::string click = ClickFor(rate, bits);
  const std::string expected =
      Header(rate, bits, 2 * rate + total2) +
      Track(click, bits, {0, beat1, 2 * beat1, 3 * beat1}, static_cast<int>(2 * rate)) +
      Track(click, bits, {0, beat2, 2 * beat2, 3 * beat2}, total2);
  const std::string file = ReadFile(dir / "click.wav");
  ASSERT_EQ(file.size(), expected.size());
  EXPECT_TRUE(file == expected);
  ExpectSoxiSees(dir / "click.wav", rate, bits, static_cast<int>(2 * rate) + total2);
}

INSTANTIATE_TEST_SUITE_P(Depths, WavAppendCommand,
                         testing::Values(Chosen(44100, 24, 120.0f, 4, 1),
                                         Chosen(48000, 16, 120.0f, 4, 1)));

TEST(WavAppendCommandSizes, NoSamplesStillFixesTheSizes) {
  TempDir dir;
  const Shown s = Chosen(44100, 24, 120.0f, 4, 0);
  UseSettings(dir, s);
  const std::string data(300, '\x05');
  WriteFile(dir / "click.wav", Header(44100, 24, 0) + data);
  RunResult r = RunZembrol(dir.path(), "+\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(dir / "click.wav"), Header(44100, 24, 100) + data);
}

// Refusals and failures ----------------------------------------------------------

// Start-up, the menu and the empty line of the click, then `line`.
std::string UpToLine(const std::string& startUp, const Shown& s, const std::string& line) {
  return startUp + Menu(s) + "\n" + line + "\n";
}

// Outputs that can't be written: a missing file for "+", a directory, the
// tempo map itself, a file another process is writing.
struct OutputCase {
  const char* name;
  const char* input;
  enum { kNone, kWav, kDirectory } made;  // what stands at click.wav before
  bool locked;                            // another process holds the lock of click.wav meanwhile
  std::string line;  // the last line, followed by the menu when the run goes on
  int status;
  const char* save = "click.wav";  // the output file name of the last menu
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class WavOutputRefused : public testing::TestWithParam<OutputCase> {};

TEST_P(WavOutputRefused, SaysWhyAndTouchesNothing) {
  const OutputCase& c = GetParam();
  TempDir dir;
  Shown s = Chosen();
  UseSettings(dir, s);
  const std::string wav = Header(44100, 24, 2) + std::string(6, '\x07');
  const std::string map = "tmap\t120\t4\t1\n";
  WriteFile(dir / "tmap.txt", map);
  if (c.made == OutputCase::kWav) WriteFile(dir / "click.wav", wav);
  if (c.made == OutputCase::kDirectory) std::filesystem::create_directory(dir / "click.wav");
  const int held = c.locked ? open((dir / "click.wav").c_str(), O_RDONLY) : -1;
  ASSERT_TRUE(!c.locked || flock(held, LOCK_EX) == 0);

  const RunResult r = RunZembrol(dir.path(), c.input);
  if (held >= 0) close(held);
  s.save = c.save;
  const std::string end = c.line + "\n" + (c.status == 0 ? Menu(s) : "");
  EXPECT_TRUE(r.out.ends_with(end))
      << r.out.substr(r.out.size() - std::min(r.out.size(), end.size()));
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(ReadFile(dir / "tmap.txt"), map);
  if (c.made == OutputCase::kWav) {
    EXPECT_TRUE(ReadFile(dir / "click.wav") == wav);
  } else if (c.made == OutputCase::kNone) {
    EXPECT_FALSE(std::filesystem::exists(dir / "click.wav"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, WavOutputRefused,
    testing::Values(
        OutputCase{"AppendToAMissingFile", "+\n", OutputCase::kNone, false,
                   "The requested filename does not exist!", 2},
        OutputCase{"AppendToADirectory", "+\n", OutputCase::kDirectory, false,
                   "Could not open 'click.wav' for appending: Is a directory", 2},
        OutputCase{"WriteToADirectory", "w\n", OutputCase::kDirectory, false,
                   "Could not create 'click.wav': Is a directory", 2},
        OutputCase{"RenderOverTheTempoMap", "n tmap.txt rtm\n", OutputCase::kNone, false,
                   "'tmap.txt' is the tempo map file; 'rtm' does not write over it.", 0,
                   "tmap.txt"},
        OutputCase{"WriteWhileLocked", "w\n", OutputCase::kWav, true,
                   "'click.wav' is being written by another process; it was not written.", 0},
        OutputCase{"AppendWhileLocked", "+\n", OutputCase::kWav, true,
                   "'click.wav' is being written by another process; nothing was added.", 0},
        OutputCase{"RenderWhileLocked", "rtm\n", OutputCase::kWav, true,
                   "'click.wav' is being written by another process; it was not written.", 0}),
    [](const testing::TestParamInfo<OutputCase>& info) { return std::string(info.param.name); });

TEST(WavTooLong, TrackBeyond2To31SamplesIsRefusedBeforeAnyFileIsTouched) {
  TempDir dir;
  const Shown s = Chosen(44100, 24, 1.0f, 4, 100000);  // 24000000 s
  const std::string startUp = UseSettings(dir, s);
  RunResult r = RunZembrol(dir.path(), "w\n+\n");
  EXPECT_EQ(
      r.out,
      UpToLine(startUp, s, "The track is too long for a WAV file; 'click.wav' was not written.") +
          Menu(s) + "\n" +
          "The track is too long for a WAV file; nothing was added to 'click.wav'.\n" + Menu(s));
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "click.wav"));

  const std::string content = Header(44100, 24, 0);
  WriteFile(dir / "click.wav", content);
  r = RunZembrol(dir.path(), "w\n+\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(dir / "click.wav"), content);
}

TEST(WavTooLong, DataReachingTheLimitIsRefused) {
  FileSizeLimit limit(16 << 20);
  TempDir dir;
  // 1072997100 samples: a signed 32-bit count, but 3218991300 bytes at 24 bits.
  const Shown s = Chosen(44100, 24, 60.0f, 1, 24331);
  const std::string startUp = UseSettings(dir, s);
  const std::string content = Header(44100, 24, 0);
  WriteFile(dir / "click.wav", content);
  RunResult r = RunZembrol(dir.path(), "w\n+\n");
  EXPECT_EQ(
      r.out,
      UpToLine(startUp, s, "The track is too long for a WAV file; 'click.wav' was not written.") +
          Menu(s) + "\n" +
          "The track is too long for a WAV file; nothing was added to 'click.wav'.\n" + Menu(s));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(dir / "click.wav"), content);
}

// A sparse file of `length` bytes that begins with a 24-bit 44100 Hz header.
void MakeLongFile(const std::filesystem::path& path, uintmax_t length) {
  WriteFile(path, Header(44100, 24, 0));
  std::filesystem::resize_file(path, length);
}

std::string ReadAt(const std::filesystem::path& path, long offset, size_t n) {
  std::string out(n, '\0');
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return "";
  std::fseek(f, offset, SEEK_SET);
  out.resize(std::fread(out.data(), 1, n, f));
  std::fclose(f);
  return out;
}

TEST(WavTooLong, AppendMayGrowTheDataToJustBelowTheLimit) {
  TempDir dir;
  const Shown s = Chosen();  // 88200 samples: 264600 bytes
  UseSettings(dir, s);
  const auto path = dir / "click.wav";
  // 2147483610: the last whole number of 24-bit samples below the limit.
  const uintmax_t length = uintmax_t{2147483610} + 44 - 264600;
  MakeLongFile(path, length);
  RunResult r = RunZembrol(dir.path(), "+\n");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(std::filesystem::file_size(path), length + 264600);
  const std::string sizes = Le(2147483646, 4) + Le(2147483610, 4);  // RIFF and data sizes
  EXPECT_EQ(ReadAt(path, 4, 4) + ReadAt(path, 40, 4), sizes);
  EXPECT_TRUE(ReadAt(path, static_cast<long>(length), 264600) ==
              Track(ClickFor(44100, 24), 24, {0, 22050, 44100, 66150}, 88200));
}

TEST(WavTooLong, AppendThatWouldReachTheLimitIsRefused) {
  TempDir dir;
  const Shown s = Chosen();
  const std::string startUp = UseSettings(dir, s);
  const auto path = dir / "click.wav";
  const uintmax_t length = uintmax_t{2147483613} + 44 - 264600;
  MakeLongFile(path, length);
  RunResult r = RunZembrol(dir.path(), "+\n");
  EXPECT_EQ(r.out, UpToLine(startUp, s,
                            "'click.wav' would grow too long for a WAV file; nothing was added.") +
                       Menu(s));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(std::filesystem::file_size(path), length);
  EXPECT_EQ(ReadAt(path, 0, 44), Header(44100, 24, 0));
}

struct FailureCase {
  std::string save;
  std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.save; }

class WavWriteFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(WavWriteFailure, NamesTheFileAndEndsTheRun) {
  TempDir dir;
  std::filesystem::create_directory(dir / "sub");
  Shown s = Chosen();
  s.save = GetParam().save;
  const std::string startUp = UseSettings(dir, s);
  const std::string settings = ReadFile(dir / "rczembrol.txt");
  RunResult r = RunZembrol(dir.path(), "w\n");
  EXPECT_EQ(r.out, UpToLine(startUp, s, GetParam().message));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(ReadFile(dir / "rczembrol.txt"), settings);
  EXPECT_TRUE(std::filesystem::is_empty(dir / "sub"));
}

INSTANTIATE_TEST_SUITE_P(
    Names, WavWriteFailure,
    testing::Values(FailureCase{"/dev/full",
                                "Could not write to '/dev/full': No space left on device"},
                    FailureCase{"nodir/click.wav",
                                "Could not create 'nodir/click.wav': No such file or directory"},
                    FailureCase{"sub", "Could not create 'sub': Is a directory"}));

}  // namespace
}  // namespace zembrol::test
