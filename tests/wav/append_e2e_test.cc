// "+" onto files from elsewhere, and "w", "+" and "rtm" stopped by a signal or
// a failed write, in the real binary: every file is either a valid WAV file
// that independent readers (soxi) see whole, or exactly what it was before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/samples.h"
#include "e2e.h"
#include "riff_bytes.h"

namespace zembrol::test {
namespace {

using namespace std::string_literals;

// 44100 Hz, one measure of 4 beats at 120 bpm: 88200 samples.
Shown OneMeasure(int bits = 24) { return {.bits = bits, .meas = 1}; }

std::string Audio(size_t bytes) {
  std::string a(bytes, '\0');
  for (size_t i = 0; i < bytes; ++i) a[i] = static_cast<char>(i * 37 + 11);
  return a;
}

// The samples soxi counts in `file`, or its complaint.
std::string SoxiSamples(const std::filesystem::path& file) {
  return CommandOutput("soxi -s '" + file.string() + "'");
}

// The track that "w" writes at `bits`: its bytes after the header.
std::string TrackOfW(int bits) {
  TempDir dir;
  WriteFile(dir / "rczembrol.txt", SettingsFile(OneMeasure(bits)));
  RunZembrol(dir.path(), "w\n");
  return ReadFile(dir / "click.wav").substr(44);
}

// "+" onto files made elsewhere ---------------------------------------------------

// Where the new track goes in a file that takes it, measured independently
// (tests/wav/files/README.md for the files made by other tools).
struct Into {
  size_t dataOffset;            // the data chunk's header
  size_t audioEnd;              // the end of the old audio
  size_t keptFrom;              // the bytes from here on follow the new audio
  size_t afterRiff = 0;         // bytes after the RIFF chunk
  std::vector<size_t> facts{};  // the fact chunks' headers in the old file
};

struct AppendCase {
  const char* name;
  std::string content;  // the file, or the name of one in tests/wav/files
  int bits;
  Into into;            // where the track goes, unless refused
  std::string refusal;  // the line that refuses it
  int status = 0;       // 2: the refusal ends the run
  // What the file has that "+" keeps: a second name linked to it; another
  // owner, group and mode; a user.* attribute, an ACL and chattr +d, which
  // go to the new file, or stay on the old one written in place when
  // fsetxattr fails. Or what "+" meets: a longer side file that a killed run
  // left, copy_file_range failing.
  enum class Has {
    kNothing,
    kHardLink,
    kOwnerAndMode,
    kAttributes,
    kAttributesInPlace,
    kLongLeftoverSideFile,
    kCopyFailsExdev,
    kCopyFailsEnosys
  } has = Has::kNothing;
};

void PrintTo(const AppendCase& c, std::ostream* os) { *os << c.name; }

AppendCase Takes(const char* name, const std::string& content, int bits, const Into& into) {
  return {name, content, bits, into, "", 0};
}

AppendCase TakesKeeping(AppendCase::Has has, const char* name, const std::string& content, int bits,
                        const Into& into) {
  return {name, content, bits, into, "", 0, has};
}

AppendCase Refuses(const char* name, const std::string& content, int bits,
                   const std::string& refusal, int status = 0) {
  return {name, content, bits, {}, refusal, status};
}

class WavAppendOnto : public testing::TestWithParam<AppendCase> {};

TEST_P(WavAppendOnto, AppendsWholeOrLeavesTheFileAlone) {
  const AppendCase& c = GetParam();
  TempDir dir;
  WriteFile(dir / "rczembrol.txt", SettingsFile(OneMeasure(c.bits)));
  const auto path = dir / "click.wav";
  const bool made = c.content.ends_with(".wav");
  const std::string before =
      made ? ReadFile(std::filesystem::path(ZEMBROL_SOURCE_DIR) / "tests/wav/files" / c.content)
           : c.content;
  ASSERT_FALSE(before.empty());
  WriteFile(path, before);
  using enum AppendCase::Has;
  const AppendCase::Has has = c.has;
  if (has == kHardLink) std::filesystem::create_hard_link(path, dir / "link.wav");
  if (has == kOwnerAndMode) {
    if (const std::string why = Lacking({CAP_CHOWN}, "giving the file to uid 65534"); !why.empty())
      GTEST_SKIP() << why;
    ASSERT_EQ(chown(path.c_str(), 65534, 65534) | chmod(path.c_str(), 0604), 0);
  }
  const bool attributes = has == kAttributes || has == kAttributesInPlace;
  if (const std::string why = attributes ? GiveAttributes(path) : ""; !why.empty())
    GTEST_SKIP() << why;
  if (has == kLongLeftoverSideFile) WriteLeftover(path, 1 << 20);
  RunOptions options;
  if (has == kAttributesInPlace) options.failing = SetxattrFailing(EPERM);
  if (has == kCopyFailsExdev || has == kCopyFailsEnosys)
    options.failing = {{__NR_copy_file_range, has == kCopyFailsExdev ? EXDEV : ENOSYS}};
  if (!options.failing.empty() && !NoSystemCallFilter().empty())
    GTEST_SKIP() << NoSystemCallFilter();
  const std::string attributesBefore = attributes ? Attributes(path) : "";
  struct stat old;
  ASSERT_EQ(stat(path.c_str(), &old), 0);

  const RunResult r = RunZembrol(dir.path(), "+\n", options);
  EXPECT_EQ(r.status, c.status);
  EXPECT_FALSE(std::filesystem::exists(dir / "click.wav.zembrol-new"));
  const std::string after = ReadFile(path);
  const std::string start = StartUpLoaded(OneMeasure(c.bits)) + Menu(OneMeasure()) + "\n";
  if (!c.refusal.empty()) {
    EXPECT_EQ(r.out, start + c.refusal + "\n" + (c.status == 0 ? Menu(OneMeasure()) : ""));
    EXPECT_TRUE(after == before);
    return;
  }
  EXPECT_EQ(r.out, start + Menu(OneMeasure()));
  // The old bytes up to the end of the audio, the track, a pad byte when
  // something follows an odd size, and the rest as it was.
  const Into& at = c.into;
  const std::string track = TrackOfW(c.bits);
  const size_t audio = at.audioEnd - at.dataOffset - 8 + track.size();
  const bool pad = at.keptFrom < before.size() && audio % 2 == 1;
  const size_t shift = at.audioEnd + track.size() + (pad ? 1 : 0) - at.keptFrom;
  std::string expected =
      before.substr(0, at.audioEnd) + track + (pad ? "\0"s : ""s) + before.substr(at.keptFrom);
  expected.replace(4, 4, Le(static_cast<uint32_t>(expected.size() - 8 - at.afterRiff), 4));
  expected.replace(at.dataOffset + 4, 4, Le(static_cast<uint32_t>(audio), 4));
  const size_t sampleBytes = static_cast<size_t>(BytesPerSample(c.bits));
  for (const size_t fact : at.facts)
    expected.replace(fact + (fact >= at.keptFrom ? shift : 0) + 8, 4, Le(audio / sampleBytes, 4));
  ASSERT_EQ(after.size(), expected.size());
  EXPECT_TRUE(after == expected);
  EXPECT_EQ(SoxiSamples(path), std::to_string(audio / sampleBytes));
  std::error_code none;
  EXPECT_EQ(std::filesystem::equivalent(path, dir / "link.wav", none),
            c.has == AppendCase::Has::kHardLink);
  struct stat now;
  ASSERT_EQ(stat(path.c_str(), &now), 0);
  EXPECT_EQ(now.st_mode, old.st_mode);
  EXPECT_EQ(now.st_uid, old.st_uid);
  EXPECT_EQ(now.st_gid, old.st_gid);
  if (attributes) {
    EXPECT_EQ(Attributes(path), attributesBefore);
  }
  // Renamed over, but in place where fsetxattr fails.
  if (attributes || has == kLongLeftoverSideFile || has == kCopyFailsExdev ||
      has == kCopyFailsEnosys) {
    EXPECT_EQ(now.st_ino == old.st_ino, has == kAttributesInPlace) << "the same inode";
  }
}

const std::string kPcm24 = Chunk("fmt ", Fmt(24));
const std::string kData = Chunk("data", Audio(300));
const std::string kList = Chunk("LIST", "INFOISFT"s + Le(2, 4) + "x"s + '\0');
// An ID3v1 tag: 128 bytes after the RIFF chunk.
const std::string kId3 = std::string("TAG").append(125, 'i');
// The letters "data" inside a chunk before the data chunk, at byte 52.
const std::string kListWithData = Chunk("LIST", "INFOICMT"s + Le(6, 4) + "data"s + '\0' + '\0');

std::string Refused(const std::string& reason) {
  return "'click.wav' " + reason + "; nothing was added.";
}

INSTANTIATE_TEST_SUITE_P(
    Files, WavAppendOnto,
    testing::Values(
        // Made by other tools (see tests/wav/files/README.md).
        Takes("Ffmpeg16", "ffmpeg-16.wav", 16, {70, 2724, 2724}),
        Takes("Ffmpeg24OddPadded", "ffmpeg-24-odd.wav", 24, {94, 4071, 4072}),
        Takes("FfmpegTitleDataEven", "ffmpeg-title-even.wav", 16, {88, 2742, 2742}),
        Takes("FfmpegTitleDataOdd", "ffmpeg-title-odd.wav", 16, {86, 2740, 2740}),
        Takes("FfmpegDataBeyond15000", "ffmpeg-comment-15000.wav", 16, {15080, 17734, 17734}),
        Takes("FfmpegBextWithData", "ffmpeg-bext.wav", 16, {680, 3334, 3334}),
        Takes("FfmpegPipePlaceholders", "ffmpeg-pipe.wav", 16, {70, 2724, 2724}),
        Refuses("FfmpegRf64", "ffmpeg-rf64.wav", 16, Refused("is an RF64 file")),
        Refuses("FfmpegFlac", "ffmpeg-flac.wav", 16,
                Refused("holds format 0xF1AC audio, not integer PCM")),
        Takes("Sox16", "sox-16.wav", 16, {36, 2690, 2690}),
        Takes("Sox24OddFact", "sox-24-odd.wav", 24, {72, 4049, 4050, 0, {60}}),
        Takes("Sox24OddPipePlaceholdersAndPad", "sox-24-odd-pipe.wav", 24,
              {72, 4049, 4050, 0, {60}}),
        Refuses("SoxBigEndianRifx", "sox-rifx.wav", 16, Refused("is a big-endian RIFX file")),
        Takes("GStreamer24OddUnpaddedList", "gstreamer-24-odd-list.wav", 24, {36, 4013, 4013}),
        Takes("GStreamerPipeListAtTheEnd", "gstreamer-16-pipe-list.wav", 16, {36, 2690, 2690}),
        Refuses("Sox16Into24", "sox-16.wav", 24,
                Refused("holds 44100 Hz 16-bit mono audio, not 44100 Hz 24-bit mono")),
        Takes("Sndfile24OddPadded", "sndfile-24-odd.wav", 24, {36, 4013, 4014}),
        Takes("SndfileListAfterData", "sndfile-metadata.wav", 16, {36, 2690, 2690}),
        TakesKeeping(AppendCase::Has::kHardLink, "SndfileListAfterDataHardLinked",
                     "sndfile-metadata.wav", 16, {36, 2690, 2690}),
        TakesKeeping(AppendCase::Has::kOwnerAndMode, "SndfileListAfterDataOwnedByNobody",
                     "sndfile-metadata.wav", 16, {36, 2690, 2690}),
        TakesKeeping(AppendCase::Has::kAttributes, "SndfileListAfterDataWithAttributes",
                     "sndfile-metadata.wav", 16, {36, 2690, 2690}),
        TakesKeeping(AppendCase::Has::kAttributesInPlace, "SndfileListAfterDataFsetxattrFailing",
                     "sndfile-metadata.wav", 16, {36, 2690, 2690}),
        TakesKeeping(AppendCase::Has::kLongLeftoverSideFile, "SndfileListAfterDataOverALeftover",
                     "sndfile-metadata.wav", 16, {36, 2690, 2690}),
        TakesKeeping(AppendCase::Has::kCopyFailsExdev, "SndfileListAfterDataCopyFailingExdev",
                     "sndfile-metadata.wav", 16, {36, 2690, 2690}),
        TakesKeeping(AppendCase::Has::kCopyFailsEnosys, "SndfileListAfterDataCopyFailingEnosys",
                     "sndfile-metadata.wav", 16, {36, 2690, 2690}),
        Takes("SndfileListAfterOddData", "sndfile-metadata-24-odd.wav", 24, {36, 4013, 4014}),
        Takes("Arecord16", "arecord-16.wav", 16, {36, 2690, 2690}),
        Takes("Arecord24OddUnpadded", "arecord-24-odd.wav", 24, {36, 4013, 4013}),
        Takes("ArecordPipeCountingAPad", "arecord-24-odd-counted-pipe.wav", 24, {36, 4013, 4013}),
        Takes("ArecordStream16", "arecord-16-stream.wav", 16, {36, 2690, 2690}),
        Takes("ArecordStream24", "arecord-24-stream.wav", 24, {36, 4013, 4013}),
        Takes("Python16", "python-16.wav", 16, {36, 2690, 2690}),
        Takes("Python24Odd", "python-24-odd.wav", 24, {36, 4013, 4013}),
        // Made byte by byte.
        Takes("Id3AfterRiff", Riff(kPcm24 + kData) + kId3, 24, {36, 344, 344, 128}),
        // Beyond 4 MiB the bytes after the audio wait in a temporary file.
        TakesKeeping(AppendCase::Has::kHardLink, "LongJunkAfterDataHardLinked",
                     Riff(kPcm24 + kData + Chunk("JUNK", std::string(5 << 20, 'j'))), 24,
                     {36, 344, 344}),
        Takes("ListAndId3AfterOddData", Riff(kPcm24 + Chunk("data", Audio(303)) + kList) + kId3, 24,
              {36, 347, 348, 128}),
        Takes("Id3AfterUnpaddedOddData", Riff(kPcm24 + "data" + Le(303, 4) + Audio(303)) + kId3, 24,
              {36, 347, 347, 128}),
        Takes("DataInsideAnEarlierChunk", Riff(kPcm24 + kListWithData + kData), 24, {62, 370, 370}),
        Takes("BothSizesZero",
              Riff(kPcm24 + kData).replace(4, 4, Le(0, 4)).replace(40, 4, Le(0, 4)), 24,
              {36, 344, 344}),
        Takes("ExtensiblePcmFact",
              Riff(Chunk("fmt ", Fmt(24, 1, true)) + Chunk("fact", Le(100, 4)) + kData), 24,
              {72, 380, 380, 0, {60}}),
        Takes("FactBeforeAndAfterData",
              Riff(kPcm24 + Chunk("fact", Le(7, 4)) + kData + Chunk("fact", Le(7, 4))), 24,
              {48, 356, 356, 0, {36, 356}}),
        Takes("EmptyDataThenList", Riff(kPcm24 + Chunk("data", "") + kList), 24, {36, 44, 44}),
        Takes("EmptyDataThenOtherChunk", Riff(kPcm24 + Chunk("data", "") + Chunk("abcd", "xyz")),
              24, {36, 44, 44}),
        Takes("RiffCountingAMissingPad",
              Riff(Chunk("fmt ", Fmt(16)) + Chunk("data", Audio(6000)) + "LIST" + Le(5, 4) +
                   "INFOx")
                  .replace(4, 4, Le(4 + 24 + 6008 + 14, 4)),
              16, {36, 6044, 6044}),
        Takes("CutInsideTrailingList",
              Riff(kPcm24 + Chunk("data", Audio(303)) + kList).substr(0, 360), 24, {36, 347, 348}),
        Refuses("Id3v2BeforeRiff",
                "ID3\x03\0\0\0\0\0\x0A"s + std::string(10, '\0') + Riff(kPcm24 + kData), 24,
                Refused("begins with an ID3v2 tag")),
        Refuses("TwoDataChunks", Riff(kPcm24 + kData + Chunk("data", Audio(30))), 24,
                Refused("has two data chunks")),
        Refuses("ExtensibleFloat",
                Riff(Chunk("fmt ", Fmt(32, 1, true, 3)) + Chunk("fact", Le(75, 4)) + kData), 24,
                Refused("holds format 0xFFFE audio of subformat 0x0003, not integer PCM")),
        Refuses("ExtensibleFewerValidBits", Riff(Chunk("fmt ", Fmt(24, 1, true, 1, 20)) + kData),
                24,
                Refused("holds 44100 Hz 24-bit mono audio with 20 valid bits, not 44100 Hz 24-bit "
                        "mono")),
        Refuses("OtherRate", Riff(Chunk("fmt ", Fmt(16, 1, false, 1, 0, 48000)) + kData), 16,
                Refused("holds 48000 Hz 16-bit mono audio, not 44100 Hz 16-bit mono")),
        Refuses("Stereo", Riff(Chunk("fmt ", Fmt(24, 2)) + kData), 24,
                Refused("holds 44100 Hz 24-bit 2-channel audio, not 44100 Hz 24-bit mono")),
        Refuses("FloatFormat", Riff(Chunk("fmt ", Fmt(24, 1, false, 1, 0, 44100, 3)) + kData), 24,
                Refused("holds format 0x0003 audio, not integer PCM")),
        Refuses("NoFmtChunk", Riff(kData), 24, Refused("has no fmt chunk before its data chunk")),
        Refuses("DataEndingMidSample", Riff(kPcm24 + Chunk("data", Audio(301))), 24,
                Refused("ends inside a sample: its 301 bytes of audio are not whole 3-byte "
                        "samples")),
        Refuses("NoDataChunk", Riff(kPcm24 + kList), 24, "Can't find data block in wave file!", 2),
        Refuses("NotRiff", "a raw file that has a data tag", 24,
                "Can't find data block in wave file!", 2)),
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
  bool ignoreFileSizeSignal = true;  // false: SIGXFSZ at its default, as shells leave it
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class WavStoppedMidTrack : public testing::TestWithParam<StopCase> {};

// 30 minutes of 4/4 at 120 bpm, or 8 sections of it: 238 MB and up.
const std::string kLongSettings = SettingsFile({.meas = 900});

TEST_P(WavStoppedMidTrack, LeavesAValidFileOrTheOldOne) {
  const StopCase& c = GetParam();
  TempDir dir;
  WriteFile(dir / "rczembrol.txt", kLongSettings);
  std::string tmap;
  for (int i = 0; i < 8; ++i) tmap += "tmap\t120\t4\t900\n";
  WriteFile(dir / "tmap.txt", tmap);
  const auto path = dir / "click.wav";
  // "+" goes before a LIST chunk, which must come back with the old bytes.
  const std::string old = Riff(kPcm24 + kData + kList);
  if (c.command == Cmd::kAppend) WriteFile(path, old);

  const char* input = c.command == Cmd::kWrite    ? "w\n"
                      : c.command == Cmd::kAppend ? "+\n"
                                                  : "rtm\n";
  // The limit lets a late signal fail the test rather than fill the disk.
  const rlim_t limit = c.signal != 0 ? rlim_t{1} << 30 : 1000000;
  RunOptions options;
  options.fileSizeLimit = limit;
  options.ignoreFileSizeSignal = c.ignoreFileSizeSignal;
  Running run(dir.path(), input, options);
  if (c.signal != 0) {
    // "+" writes the new file beside the old one.
    WaitForSize(c.command == Cmd::kAppend ? dir / "click.wav.zembrol-new" : path, c.after, run);
    kill(run.pid(), c.signal);
  }
  const RunResult result = run.Wait();
  const int status = result.status;
  const std::string& out = result.out;
  const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);

  EXPECT_EQ(status, c.signal != 0 ? 128 + c.signal : 2) << last;
  if (c.command == Cmd::kAppend) {
    EXPECT_TRUE(ReadFile(path) == old);
    EXPECT_FALSE(std::filesystem::exists(dir / "click.wav.zembrol-new"));
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
                    StopCase{"WriteQuitLater", Cmd::kWrite, SIGQUIT, 20 << 20},
                    StopCase{"WriteFailing", Cmd::kWrite, 0, 0},
                    StopCase{"WriteFailingUnderAShellLimit", Cmd::kWrite, 0, 0, false},
                    StopCase{"AppendFailingUnderAShellLimit", Cmd::kAppend, 0, 0, false},
                    StopCase{"RenderFailingUnderAShellLimit", Cmd::kRender, 0, 0, false},
                    StopCase{"AppendFailing", Cmd::kAppend, 0, 0},
                    StopCase{"RenderFailing", Cmd::kRender, 0, 0}),
    [](const testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

TEST(WavStoppedMidTrack, ABlockedOpenOfAFifoEndsOnAnInterruption) {
  TempDir dir;
  WriteFile(dir / "rczembrol.txt", SettingsFile(OneMeasure(24)));
  ASSERT_EQ(mkfifo((dir / "click.wav").c_str(), 0644), 0);
  Running run(dir.path(), "w\n");
  // The menu and the click's empty line come out before the open blocks.
  const std::string before = StartUpLoaded(OneMeasure(24)) + Menu(OneMeasure()) + "\n";
  while (run.Output() != before && !run.Ended()) usleep(1000);  // a poll
  // A signal just before the open is noted and the open still blocks, so
  // Ctrl-C is pressed until the program ends, within a second.
  const auto start = std::chrono::steady_clock::now();
  while (!run.Ended() && std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
    kill(run.pid(), SIGINT);
    usleep(20000);
  }
  if (!run.Ended()) kill(run.pid(), SIGKILL);  // still blocked: fail, don't hang
  const RunResult r = run.Wait();
  EXPECT_EQ(r.out, before + "Interrupted: nothing was written to 'click.wav'.\n");
  EXPECT_EQ(r.status, 130);
}

// Too-long checks ----------------------------------------------------------------

TEST(WavTooLongCheck, A255SectionMapOfTinyBeatsIsRefusedAtOnce) {
  // Beats of 0.882 samples and a 3-sample click: over 10^8 clicks a section.
  TempDir dir;
  WriteFile(dir / "rczembrol.txt", SettingsFile({.Hz = 44100}));
  std::string tmap;
  for (int i = 0; i < 255; ++i) tmap += "tmap\t3000000\t1000000\t2000\n";
  WriteFile(dir / "tmap.txt", tmap);
  const RunResult r = RunZembrol(dir.path(), "rtm\n");
  EXPECT_NE(r.out.find("Found 255 map entries.\n"
                       "The tempo map is too long for a WAV file; 'click.wav' was not written.\n"),
            std::string::npos);
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "click.wav"));
}

}  // namespace
}  // namespace zembrol::test
