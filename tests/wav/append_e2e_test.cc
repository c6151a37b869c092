// "+" onto files from elsewhere, and "w", "+" and "rtm" stopped by a signal or
// a failed write, in the real binary: every file is either a valid WAV file
// that independent readers (soxi) see whole, or exactly what it was before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>

#include "e2e.h"

namespace zembrol::test {
namespace {

using namespace std::string_literals;

// 44100 Hz, 24 bits, one measure of 4 beats at 120 bpm: 88200 samples.
constexpr char kSettings[] = "rate\t44100\nbits\t24\ntempo\t120\nmeter\t4\nmeas\t1\n";
constexpr int kTrackSamples = 88200;

std::string StartUp() {
  return StartUpLoaded(
      "rate: 44100\tbits: 24\tdevice: default\nmeter: 4\tmeas: 1\tatime: 10.0\n"
      "Hz: 60.00\tsave: click.wav\ttmap: tmap.txt\n");
}

std::string MenuNow() {
  MenuValues v;
  v.meas = 1;
  return Menu(v);
}

std::string Le(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
  return out;
}

std::string Chunk(const std::string& id, const std::string& payload) {
  std::string c = id + Le(static_cast<uint32_t>(payload.size()), 4) + payload;
  if (payload.size() % 2 == 1) c.push_back('\0');
  return c;
}

// A PCM fmt payload; `extensible` adds the 22 bytes of WAVE_FORMAT_EXTENSIBLE.
std::string Fmt(uint32_t bits, uint32_t channels = 1, bool extensible = false,
                uint32_t subformat = 1, uint32_t validBits = 0) {
  const uint32_t align = channels * ((bits + 7) / 8);
  std::string f = Le(extensible ? 0xFFFE : 1, 2) + Le(channels, 2) + Le(44100, 4) +
                  Le(44100 * align, 4) + Le(align, 2) + Le(bits, 2);
  if (extensible) {
    f += Le(22, 2) + Le(validBits == 0 ? bits : validBits, 2) + Le(4, 4) + Le(subformat, 2) +
         std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
  }
  return f;
}

// A RIFF file of `chunks`; its size field covers them.
std::string Riff(const std::string& chunks) {
  return "RIFF" + Le(static_cast<uint32_t>(chunks.size() + 4), 4) + "WAVE" + chunks;
}

std::string Audio(size_t bytes) {
  std::string a(bytes, '\0');
  for (size_t i = 0; i < bytes; ++i) a[i] = static_cast<char>(i * 37 + 11);
  return a;
}

// The offset of the first "data" at an even offset from 2, as the size fix finds it.
size_t DataTag(const std::string& file) {
  for (size_t at = 2; at + 4 <= file.size(); at += 2)
    if (file.compare(at, 4, "data") == 0) return at;
  return std::string::npos;
}

// The samples soxi counts in `file`, or its complaint.
std::string SoxiSamples(const std::filesystem::path& file) {
  return CommandOutput("soxi -s '" + file.string() + "'");
}

// The track that "w" writes with kSettings: its bytes after the header.
std::string TrackOfW() {
  TempDir dir;
  WriteFile(dir / "rczembrol.txt", kSettings);
  RunZembrol(dir.path(), "w\n");
  return ReadFile(dir / "click.wav").substr(44);
}

// "+" onto files made elsewhere ---------------------------------------------------

struct AppendCase {
  const char* name;
  std::string content;  // the file
  const char* sox;      // the format options of sox making the file; nullptr: `content`
  std::string refusal;  // the line that refuses it; empty when the track is appended
};

void PrintTo(const AppendCase& c, std::ostream* os) { *os << c.name; }

class WavAppendOnto : public testing::TestWithParam<AppendCase> {};

TEST_P(WavAppendOnto, AppendsWholeOrLeavesTheFileAlone) {
  const AppendCase& c = GetParam();
  TempDir dir;
  WriteFile(dir / "rczembrol.txt", kSettings);
  const auto path = dir / "click.wav";
  if (c.sox != nullptr) {
    ASSERT_EQ(CommandOutput("sox -n " + std::string(c.sox) + " '" + path.string() +
                            "' synth 0.1 sine 440"),
              "");
  } else {
    WriteFile(path, c.content);
  }
  const std::string before = ReadFile(path);

  const RunResult r = RunZembrol(dir.path(), "+\n");
  EXPECT_EQ(r.status, 0);
  const std::string after = ReadFile(path);
  if (!c.refusal.empty()) {
    EXPECT_EQ(r.out, StartUp() + MenuNow() + "\n" + c.refusal + "\n" + MenuNow());
    EXPECT_TRUE(after == before);
    return;
  }
  EXPECT_EQ(r.out, StartUp() + MenuNow() + "\n" + MenuNow());
  // The old bytes with the two sizes set, then the track.
  const size_t tag = DataTag(before);
  ASSERT_NE(tag, std::string::npos);
  std::string expected = before + TrackOfW();
  const auto length = static_cast<uint32_t>(expected.size());
  expected.replace(4, 4, Le(length - 8, 4));
  expected.replace(tag + 4, 4, Le(length - static_cast<uint32_t>(tag) - 8, 4));
  ASSERT_EQ(after.size(), expected.size());
  EXPECT_TRUE(after == expected);
  EXPECT_EQ(SoxiSamples(path), std::to_string((before.size() - tag - 8) / 3 + kTrackSamples));
}

const std::string kData = Chunk("data", Audio(300));
const std::string kPcm = Chunk("fmt ", Fmt(24));
// A LIST chunk of 22 bytes whose text holds "data" at the chunk's offset 10:
// byte 46 of the file when it follows the 24-byte fmt chunk.
const std::string kListEven = Chunk("LIST", "INFOICMT"s + Le(6, 4) + "data"s + '\0' + '\0');
const std::string kListOdd = Chunk("LIST", "INFOICMT"s + Le(7, 4) + "xdata"s + '\0' + '\0');

INSTANTIATE_TEST_SUITE_P(
    Files, WavAppendOnto,
    testing::Values(
        AppendCase{"Plain", Riff(kPcm + kData), nullptr, ""},
        AppendCase{"ListWithDataAtEvenOffset", Riff(kPcm + kListEven + kData), nullptr,
                   "'click.wav' holds the letters \"data\" at byte 56, inside its 'LIST' chunk; "
                   "nothing was added."},
        AppendCase{"ListWithDataAtOddOffset", Riff(kPcm + kListOdd + kData), nullptr, ""},
        AppendCase{"ChunkAfterData",
                   Riff(kPcm + kData + Chunk("LIST", "INFOISFT"s + Le(2, 4) + "x"s + '\0')),
                   nullptr,
                   "'click.wav' has a 'LIST' chunk after its data chunk; nothing was added."},
        AppendCase{"ChunkAfterOddData",
                   Riff(kPcm + Chunk("data", Audio(303)) + Chunk("id3 ", "tag!")), nullptr,
                   "'click.wav' has a 'id3 ' chunk after its data chunk; nothing was added."},
        AppendCase{"DataEndingMidSample", Riff(kPcm + Chunk("data", Audio(301))), nullptr,
                   "'click.wav' ends inside a sample: its 302 bytes of audio are not whole 3-byte "
                   "samples; nothing was added."},
        AppendCase{"InterruptedWriter",
                   Riff(kPcm + "data" + Le(264600, 4) + Audio(300)).replace(4, 4, Le(264636, 4)),
                   nullptr, ""},
        AppendCase{"FactChunk", Riff(kPcm + Chunk("fact", Le(100, 4)) + kData), nullptr, ""},
        AppendCase{"ExtensiblePcm",
                   Riff(Chunk("fmt ", Fmt(24, 1, true)) + Chunk("fact", Le(100, 4)) + kData),
                   nullptr, ""},
        AppendCase{"ExtensibleFloat",
                   Riff(Chunk("fmt ", Fmt(32, 1, true, 3)) + Chunk("fact", Le(75, 4)) + kData),
                   nullptr,
                   "'click.wav' holds 44100 Hz 32-bit mono audio in format 65534 with subformat "
                   "3, not 44100 Hz 24-bit mono; nothing was added."},
        AppendCase{"ExtensibleFewerValidBits", Riff(Chunk("fmt ", Fmt(24, 1, true, 1, 20)) + kData),
                   nullptr,
                   "'click.wav' holds 44100 Hz 24-bit mono audio with 20 valid bits, not 44100 Hz "
                   "24-bit mono; nothing was added."},
        AppendCase{"Sox24Bit", "", "-r 44100 -b 24 -c 1", ""},
        AppendCase{"Sox16Bit", "", "-r 44100 -b 16 -c 1",
                   "'click.wav' holds 44100 Hz 16-bit mono audio, not 44100 Hz 24-bit mono; "
                   "nothing was added."},
        AppendCase{"SoxStereo", "", "-r 44100 -b 24 -c 2",
                   "'click.wav' holds 44100 Hz 24-bit 2-channel audio, not 44100 Hz 24-bit mono; "
                   "nothing was added."}),
    [](const testing::TestParamInfo<AppendCase>& info) { return std::string(info.param.name); });

// Signals and failed writes mid-track ---------------------------------------------

// Waits until `path` holds at least `bytes` or the process has ended.
void WaitForSize(const std::filesystem::path& path, uintmax_t bytes, const Running& run) {
  std::error_code error;
  while ((std::filesystem::file_size(path, error) < bytes || error) && !run.Ended())
    usleep(200);  // a poll, not a wait for the writer
}

enum class Cmd { kWrite, kAppend, kRender };

struct StopCase {
  const char* name;
  Cmd command;
  int signal;  // sent once the file holds `after` bytes; 0: the file limit stops it
  uintmax_t after;
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class WavStoppedMidTrack : public testing::TestWithParam<StopCase> {};

// 30 minutes of 4/4 at 120 bpm, or 8 sections of it: 238 MB and up.
constexpr char kLongSettings[] = "rate\t44100\nbits\t24\ntempo\t120\nmeter\t4\nmeas\t900\n";

TEST_P(WavStoppedMidTrack, LeavesAValidFileOrTheOldOne) {
  const StopCase& c = GetParam();
  TempDir dir;
  WriteFile(dir / "rczembrol.txt", kLongSettings);
  std::string tmap;
  for (int i = 0; i < 8; ++i) tmap += "tmap\t120\t4\t900\n";
  WriteFile(dir / "tmap.txt", tmap);
  const auto path = dir / "click.wav";
  const std::string old = Riff(kPcm + kData);
  if (c.command == Cmd::kAppend) WriteFile(path, old);

  const char* input = c.command == Cmd::kWrite    ? "w\n"
                      : c.command == Cmd::kAppend ? "+\n"
                                                  : "rtm\n";
  // The limit lets a late signal fail the test rather than fill the disk.
  const rlim_t limit = c.signal != 0 ? rlim_t{1} << 30 : 1000000;
  RunOptions options;
  options.fileSizeLimit = limit;
  options.ignoreFileSizeSignal = true;
  Running run(dir.path(), input, options);
  if (c.signal != 0) {
    WaitForSize(path, c.after, run);
    kill(run.pid(), c.signal);
  }
  const RunResult result = run.Wait();
  const int status = result.status;
  const std::string& out = result.out;
  const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);

  EXPECT_EQ(status, c.signal != 0 ? 128 + c.signal : 2) << last;
  if (c.command == Cmd::kAppend) {
    EXPECT_TRUE(ReadFile(path) == old);
    EXPECT_EQ(last, c.signal != 0 ? "Interrupted: nothing was added to 'click.wav'.\n"
                                  : "Could not write to 'click.wav': File too large\n");
    return;
  }
  const uintmax_t length = std::filesystem::file_size(path);
  ASSERT_GE(length, c.signal != 0 ? c.after : 900000);
  EXPECT_LT(length, 238140044u);  // stopped before the end of the first track
  EXPECT_EQ((length - 44) % 3, 0u);
  const std::string samples = std::to_string((length - 44) / 3);
  EXPECT_EQ(SoxiSamples(path), samples);
  const std::string head = ReadFile(path).substr(0, 44);
  EXPECT_EQ(head.substr(4, 4), Le(static_cast<uint32_t>(length - 8), 4));
  EXPECT_EQ(head.substr(40, 4), Le(static_cast<uint32_t>(length - 44), 4));
  EXPECT_EQ(last, c.signal != 0
                      ? "Interrupted: 'click.wav' keeps its first " + samples + " samples.\n"
                      : "Could not write to 'click.wav': File too large\n");
}

INSTANTIATE_TEST_SUITE_P(
    Stops, WavStoppedMidTrack,
    testing::Values(StopCase{"WriteInterrupted", Cmd::kWrite, SIGINT, 1 << 20},
                    StopCase{"WriteTerminatedLater", Cmd::kWrite, SIGTERM, 40 << 20},
                    StopCase{"AppendInterrupted", Cmd::kAppend, SIGINT, 1 << 20},
                    StopCase{"AppendHungUpLater", Cmd::kAppend, SIGHUP, 40 << 20},
                    StopCase{"RenderInterrupted", Cmd::kRender, SIGINT, 20 << 20},
                    StopCase{"WriteFailing", Cmd::kWrite, 0, 0},
                    StopCase{"AppendFailing", Cmd::kAppend, 0, 0},
                    StopCase{"RenderFailing", Cmd::kRender, 0, 0}),
    [](const testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

// Too-long checks ----------------------------------------------------------------

TEST(WavTooLongCheck, A255SectionMapOfTinyBeatsIsRefusedAtOnce) {
  // Beats of 0.882 samples and a 3-sample click: over 10^8 clicks a section.
  TempDir dir;
  WriteFile(dir / "rczembrol.txt", "rate\t44100\nbits\t24\nHz\t44100\n");
  std::string tmap;
  for (int i = 0; i < 255; ++i) tmap += "tmap\t3000000\t1000000\t2000\n";
  WriteFile(dir / "tmap.txt", tmap);
  const auto begin = std::chrono::steady_clock::now();
  const RunResult r = RunZembrol(dir.path(), "rtm\n");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_NE(r.out.find("Found 255 map entries.\n"
                       "The tempo map is too long for a WAV file; 'click.wav' was not written.\n"),
            std::string::npos);
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(seconds, 10.0);  // the walk it replaces took minutes
  EXPECT_FALSE(std::filesystem::exists(dir / "click.wav"));
}

}  // namespace
}  // namespace zembrol::test
