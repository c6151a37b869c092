// The command loop: settings steps, unrecognised words, help and exit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "e2e.h"

namespace zembrol::test {
namespace {

// 44100 Hz, 24 bits, no settings file.
constexpr char kStart[] = "1 2\n";

// What one settings command prints: its prompt, the synthesis' empty line and
// the next menu.
std::string Step(const std::string& prompt, const Shown& menu) {
  return prompt + "\n" + Menu(menu);
}

const std::string kHelp =
    "\n"
    "How to Create a Remote Tempo Map File:\n\n"
    "1. Make a plain text file called tmap.txt.\n\n"
    "2. Start a line with the command 'tmap' for a new tempo or meter.\n\n"
    "3. Then enter tempo, beats per measure, and measures.\n\n"
    "   Use a <tab> after tmap as well as between values.\n\n"
    "   Example:\n\n"
    "   tmap\t120\t4\t48\n"
    "   tmap\t160\t3\t16\n\n"
    "4. Save the file in same directory as this program.\n"
    "\n"
    "Enter 'c' to continue.\n";

struct LoopCase {
  const char* name;
  std::string input;   // after the start-up answers
  std::string output;  // after the start-up and the first menu
  int status;
};

void PrintTo(const LoopCase& c, std::ostream* os) { *os << c.name; }

class CommandLoop : public testing::TestWithParam<LoopCase> {};

TEST_P(CommandLoop, PrintsExactly) {
  TempDir dir;
  RunResult r = RunZembrol(dir.path(), kStart + GetParam().input);
  EXPECT_EQ(r.out, StartUpAsked() + Menu() + GetParam().output);
  EXPECT_EQ(r.status, GetParam().status);
  EXPECT_EQ(r.err, "");
}

const char kTempo[] = "Enter tempo in beats per minute\n";
const char kFrequency[] = "\nEnter lowest frequency of click in Hz\n";
const char kMeter[] = "Enter beats per measure\n";
const char kMeasures[] = "\nEnter number of measures\n";
const char kAudition[] = "\nEnter audition length in seconds\n";
const char kName[] = "Enter new output file name.\n";
const char kDevice[] = "Enter new playback device name.\n";

INSTANTIATE_TEST_SUITE_P(
    Steps, CommandLoop,
    testing::Values(
        LoopCase{"TempoOnTheSameLine", "t 140\n", Step(kTempo, {.tempo = 140}), 0},
        LoopCase{"TempoOnTheNextLine", "t\n97.25\n", Step(kTempo, {.tempo = 97.25f}), 0},
        LoopCase{"Frequency", "f 80\n", Step(kFrequency, {.Hz = 80}), 0},
        LoopCase{"Meter", "b 3\n", Step(kMeter, {.meter = 3}), 0},
        LoopCase{"Measures", "m 0\n", Step(kMeasures, {.meas = 0}), 0},
        LoopCase{"AuditionLength", "al 2.5\n", Step(kAudition, {.atime = 2.5f}), 0},
        LoopCase{"FileName", "n take1.wav\n", Step(kName, {.save = "take1.wav"}), 0},
        LoopCase{"Device", "o hw:0,0\n", Step(kDevice, {.device = "hw:0,0"}), 0},
        // The unparsable answer, or the rest of the answer's word, stays in the
        // input and is read as a command word.
        LoopCase{"UnparsableAnswerThatIsACommand", "b t 90\n",
                 Step(kMeter, {}) + Step(kTempo, {.tempo = 90}), 0},
        LoopCase{"MeasuresFractionThenCommand", "m 7.5 f 90\n",
                 Step(kMeasures, {.meas = 7}) + Menu({.meas = 7}) +
                     Step(kFrequency, {.Hz = 90, .meas = 7}),
                 0},
        LoopCase{"UnknownWordsAreSilent", "T alx tt ptm2 c\n",
                 Menu() + Menu() + Menu() + Menu() + Menu(), 0},
        // A word of more than seven characters is consumed whole.
        LoopCase{"LongWordIsNotACommand", "tttttttt 140\n", Menu() + Menu(), 0},
        LoopCase{"LongWordThatStartsLikeACommand", "rtmrtmrtm\n", Menu(), 0},
        LoopCase{"NameWithABlankTakesTheFirstWord", "n my track.wav\n",
                 Step(kName, {.save = "my"}) + Menu({.save = "my"}), 0},
        LoopCase{"NameOfSixtyThreeCharacters", "n " + std::string(63, 'a') + "\n",
                 Step(kName, {.save = std::string(63, 'a')}), 0},
        LoopCase{"NameTooLongIsRefused", "n " + std::string(64, 'a') + " x\n",
                 std::string(kName) +
                     "The output file name is longer than 63 characters; it stays 'click.wav'.\n" +
                     "\n" + Menu(),
                 2},
        LoopCase{"DeviceTooLongIsRefused", "o abcdefghijklmnop\n",
                 std::string(kDevice) +
                     "The playback device name is longer than 15 characters; it stays "
                     "'default'.\n\n" +
                     Menu(),
                 0},
        LoopCase{"HelpIgnoresEveryWordButC", "h x t 140 c\n", kHelp + "\n" + Menu(), 0},
        LoopCase{"EndOfInputInTheHelpStep", "h x\n", kHelp, 0},
        LoopCase{"EndOfInputAtANamePrompt", "n", std::string(kName) + "\n" + Menu(), 0},
        LoopCase{"TooLowFrequencyIsReportedOnce", "f 1 f 60 m 2\n",
                 std::string(kFrequency) + "The frequency chosen is too low for this tempo!\n\n" +
                     Menu({.Hz = 1}) + Step(kFrequency, {.Hz = 60}) + Step(kMeasures, {.meas = 2}),
                 0},
        LoopCase{"NegativeFrequencyIsTooLow", "f -60\n",
                 std::string(kFrequency) + "The frequency chosen is too low for this tempo!\n\n" +
                     Menu({.Hz = -60}),
                 0},
        LoopCase{"ExitEndsWithStatusTwo", "x t 140\n", "", 2},
        LoopCase{"TypedAhead", "t 100 b 3 al 5 x\n",
                 Step(kTempo, {.tempo = 100}) + Step(kMeter, {.tempo = 100, .meter = 3}) +
                     Step(kAudition, {.tempo = 100, .meter = 3, .atime = 5}),
                 2}),
    [](const testing::TestParamInfo<LoopCase>& info) { return info.param.name; });

// "-w" and "+w" are no numbers: each stays whole and is then no command, so
// neither writes nor appends to the track file.
TEST(CommandLoop, SignedWordAnswersAreNeitherNumbersNorCommands) {
  TempDir dir;
  const std::string wav = "RIFF, but not a track: 'w' or '+' would change it";
  WriteFile(dir / "click.wav", wav);
  RunResult r = RunZembrol(dir.path(), std::string(kStart) + "t -w b +w\n");
  EXPECT_EQ(r.out, StartUpAsked() + Menu() + Step(kTempo, {}) + Menu() + Step(kMeter, {}) + Menu());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(dir / "click.wav"), wav);
}

TEST(CommandLoop, ExitWritesNoSettingsFile) {
  TempDir dir;
  RunResult r = RunZembrol(dir.path(), "1 2 t 90 x\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(std::filesystem::exists(dir / "rczembrol.txt"));
}

TEST(CommandLoop, SaveThatCannotWriteSaysSoAndGoesOn) {
  TempDir dir;
  std::filesystem::create_directory(dir / "rczembrol.txt");  // a directory in its place
  RunResult r = RunZembrol(dir.path(), "s\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartUpAsked() + Menu() +
                       "Could not save settings to 'rczembrol.txt': Is a directory; nothing was "
                       "saved.\n\n" +
                       Menu());
}

// "s" replaces rczembrol.txt whole, keeping its permission bits, a symbolic
// link to it, a hard link, its owner and its attributes; under a file size
// limit it leaves the file as it was or makes none. No temporary file is left.
struct SaveCase {
  const char* name;
  int old;  // 0: no rczembrol.txt; 1: "tempo\t90\n", mode 0640; 2: that in old.txt, linked
  rlim_t limit;
  bool ignoreFileSizeSignal;
  // What the old file has, or meets: a longer side file that a killed run
  // left; a user.* attribute, an ACL and chattr +d, which go to the new file,
  // or stay on the old one written in place when fsetxattr fails; a second
  // name (in place too); uid and gid 65534.
  enum class Has {
    kNothing,
    kLongLeftoverSideFile,
    kAttributes,
    kAttributesInPlace,
    kHardLink,
    kOwner
  } has = Has::kNothing;
};

void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.name; }

class SaveSettings : public testing::TestWithParam<SaveCase> {};

TEST_P(SaveSettings, ReplaceTheFileWholeOrLeaveItAsItWas) {
  namespace fs = std::filesystem;
  const SaveCase& c = GetParam();
  using enum SaveCase::Has;
  TempDir dir;
  const auto file = dir / "rczembrol.txt";
  if (c.old > 0) WriteFile(c.old == 2 ? dir / "old.txt" : file, "tempo\t90\n");
  if (c.old == 2) fs::create_symlink("old.txt", file);
  if (c.old > 0) fs::permissions(file, fs::perms(0640));
  if (c.has == kHardLink) fs::create_hard_link(file, dir / "link.txt");
  if (c.has == kOwner) {
    if (const std::string why = Lacking({CAP_CHOWN}, "giving the file to uid 65534"); !why.empty())
      GTEST_SKIP() << why;
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
  }
  const bool attributes = c.has == kAttributes || c.has == kAttributesInPlace;
  if (const std::string why = attributes ? GiveAttributes(file) : ""; !why.empty())
    GTEST_SKIP() << why;
  if (c.has == kLongLeftoverSideFile) WriteLeftover(file, 5000);
  RunOptions options;
  options.fileSizeLimit = c.limit;
  options.ignoreFileSizeSignal = c.ignoreFileSizeSignal;
  if (c.has == kAttributesInPlace) options.failing = SetxattrFailing(EPERM);
  if (!options.failing.empty() && !NoSystemCallFilter().empty())
    GTEST_SKIP() << NoSystemCallFilter();
  const std::string attributesBefore = attributes ? Attributes(file) : "";
  struct stat old {};
  ASSERT_EQ(stat(file.c_str(), &old) == 0, c.old > 0);
  RunResult r = RunZembrol(dir.path(), "s\n", options);
  const bool saved = c.limit == RLIM_INFINITY;
  const std::string line =
      saved ? "Saved Settings"
            : std::string("Could not save settings to 'rczembrol.txt': File too large; ") +
                  (c.old ? "the old settings were kept." : "nothing was saved.");
  const Shown shown{.tempo = c.old ? 90.0f : 120.0f};
  const std::string menu = Menu(shown);
  EXPECT_EQ(r.out, (c.old ? StartUpLoaded(shown) : StartUpAsked()) + menu + line + "\n\n" + menu);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(file), !saved ? (c.old ? "tempo\t90\n" : "") : SettingsFile(shown));
  EXPECT_EQ(fs::status(file).permissions(), c.old ? fs::perms(0640) : fs::perms::unknown);
  EXPECT_EQ(fs::is_symlink(file), c.old == 2);
  // No temporary file.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), c.old + (c.has == kHardLink));
  EXPECT_EQ(ReadFile(dir / "link.txt"), c.has == kHardLink ? SettingsFile(shown) : "");
  if (attributes) {
    EXPECT_EQ(Attributes(file), attributesBefore);
  }
  struct stat now {};
  ASSERT_EQ(stat(file.c_str(), &now) == 0, saved || c.old > 0);
  if (c.has == kOwner) {
    EXPECT_EQ(now.st_uid, 65534u);
    EXPECT_EQ(now.st_gid, 65534u);
  }
  if (attributes || c.has == kHardLink) {
    EXPECT_EQ(now.st_ino == old.st_ino, c.has != kAttributes) << "the same inode";
  }
}

using Has = SaveCase::Has;

INSTANTIATE_TEST_SUITE_P(
    Save, SaveSettings,
    testing::Values(
        SaveCase{"KeepsPermissionBits", 1, RLIM_INFINITY, false},
        SaveCase{"TakesOverALongerLeftover", 1, RLIM_INFINITY, false, Has::kLongLeftoverSideFile},
        SaveCase{"KeepsAttributesOnANewFile", 1, RLIM_INFINITY, false, Has::kAttributes},
        SaveCase{"KeepsAttributesInPlaceWhenFsetxattrFails", 1, RLIM_INFINITY, false,
                 Has::kAttributesInPlace},
        SaveCase{"KeepsAHardLinkInPlace", 1, RLIM_INFINITY, false, Has::kHardLink},
        SaveCase{"KeepsAnotherOwnerAndGroup", 1, RLIM_INFINITY, false, Has::kOwner},
        SaveCase{"ThroughALinkThatStays", 2, RLIM_INFINITY, false},
        SaveCase{"SizeLimitKeepsTheOldFile", 1, 10, false},
        SaveCase{"SizeLimitSignalIgnoredKeepsTheOldFile", 1, 10, true},
        SaveCase{"SizeLimitLeavesNoFile", 0, 10, false},
        SaveCase{"SizeLimitSignalIgnoredLeavesNoFile", 0, 10, true}),
    [](const testing::TestParamInfo<SaveCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zembrol::test
