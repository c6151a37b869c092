// Start-up: the two questions, the settings file and the summary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e.h"

namespace zembrol::test {
namespace {

struct AnswerCase {
  const char* answers;
  uint32_t rate;
  int bits;
  const char* click = "";  // what preparing the click prints before its empty line
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << '"' << c.answers << '"'; }

class StartUpAnswers : public testing::TestWithParam<AnswerCase> {};

TEST_P(StartUpAnswers, StoreRateAndBits) {
  TempDir dir;
  RunResult r = RunZembrol(dir.path(), std::string(GetParam().answers) + " s\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartUpAsked() + Menu() + "Saved Settings\n" + GetParam().click + "\n" + Menu());
  EXPECT_EQ(ReadFile(dir / "rczembrol.txt"),
            SettingsFile({.rate = GetParam().rate, .bits = GetParam().bits}));
}

INSTANTIATE_TEST_SUITE_P(Answers, StartUpAnswers,
                         testing::Values(AnswerCase{"1 2", 44100, 24}, AnswerCase{"2 1", 48000, 16},
                                         AnswerCase{"3\n1", 88200, 16},
                                         AnswerCase{"4 2", 96000, 24},
                                         AnswerCase{"1 16", 44100, 24},
                                         AnswerCase{"22050 1", 22050, 16},
                                         AnswerCase{"0x3 1", 88200, 16},
                                         AnswerCase{"-1 0x1", 4294967295u, 16,
                                                    "A click of 214748364 samples is too long to "
                                                    "make; the click is silent.\n"}));

TEST(StartUp, AnswerZeroEndsWithStatusTwoBeforeTheBitDepthQuestion) {
  TempDir dir;
  RunResult r = RunZembrol(dir.path(), "0 1 s\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, Banner() +
                       "\nEnter sample rate or\n"
                       "0 = exit, 1 = 44100,  2 = 48000,  3 = 88200,  4 = 96000\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "rczembrol.txt"));
}

TEST(StartUp, WordAnswerKeepsDefaultsAndIsReadAsTheFirstCommand) {
  TempDir dir;
  // "s" answers both questions without being a number, then saves.
  RunResult r = RunZembrol(dir.path(), "s\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartUpAsked() + Menu() + "Saved Settings\n\n" + Menu());
  EXPECT_EQ(ReadFile(dir / "rczembrol.txt"), SettingsFile());
  const mode_t mask = umask(0);  // a new file gets the bits fopen gives it
  umask(mask);
  EXPECT_EQ(std::filesystem::status(dir / "rczembrol.txt").permissions(),
            std::filesystem::perms(0666 & ~mask));
}

TEST(StartUp, EndOfInputDuringTheQuestionsExitsZeroAfterOneMenu) {
  TempDir dir;
  RunResult r = RunZembrol(dir.path(), "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartUpAsked() + Menu());
}

// The command line is answered before anything else: standard input stays
// unread and no file is made.
struct ArgumentsCase {
  std::vector<std::string> arguments;
  std::string out, err;
  int status;
};

void PrintTo(const ArgumentsCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.arguments);
}

class CommandLine : public testing::TestWithParam<ArgumentsCase> {};

TEST_P(CommandLine, IsAnsweredWithoutReadingInputOrMakingAFile) {
  const ArgumentsCase& c = GetParam();
  TempDir dir;
  RunOptions options;
  options.arguments = c.arguments;
  const RunResult r = RunZembrol(dir.path(), "1 2 s w\n", options);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.inputRead, 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

constexpr char kUsage[] =
    "Usage: zembrol\n"
    "       zembrol --help | -h | --version\n"
    "\n"
    "zembrol is a console click-track generator and player. Started without\n"
    "arguments it asks for a sample rate and a bit depth (unless its settings\n"
    "file is there), shows a menu and reads one-word commands from standard\n"
    "input:\n"
    "\n"
    "  t f b m al n o   set the tempo, the lowest click frequency, the beats per\n"
    "                   measure, the measures to write, the audition length, the\n"
    "                   output file name and the playback device\n"
    "  a ptm            audition the click, play the tempo map\n"
    "  w + rtm          write, append to, or render the tempo map into the\n"
    "                   output file\n"
    "  h s x            tempo map help, save the settings, exit\n"
    "\n"
    "It keeps its settings in rczembrol.txt in the working directory, and reads\n"
    "the tempo map and writes its WAV files there too.\n"
    "See zembrol(1).\n";

std::string Unknown(const std::string& argument) {
  return "zembrol: unknown argument '" + argument + "' (see zembrol --help)\n";
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLine,
    testing::Values(ArgumentsCase{{"--help"}, kUsage, "", 0}, ArgumentsCase{{"-h"}, kUsage, "", 0},
                    ArgumentsCase{{"--version"}, "zembrol " ZEMBROL_VERSION "\n", "", 0},
                    ArgumentsCase{{"--verbose"}, "", Unknown("--verbose"), 2},
                    ArgumentsCase{{"click.wav"}, "", Unknown("click.wav"), 2},
                    ArgumentsCase{{""}, "", Unknown(""), 2},
                    ArgumentsCase{{"--version", "-h"}, "", Unknown("-h"), 2}));

// Every setting but the tempo map's name changed, saved and loaded again; the
// tempo and the audition length are saved rounded to what they show.
TEST(StartUp, SavedSettingsAreLoadedByTheNextStart) {
  TempDir dir;
  const RunResult first =
      RunZembrol(dir.path(), "2 1 t 133.333 al 12.34 b 3 m 10 f 70.5 n out.wav o hw:1 s x\n");
  EXPECT_EQ(first.status, 2);
  const Shown saved{.rate = 48000,
                    .bits = 16,
                    .tempo = 133.33f,
                    .Hz = 70.5f,
                    .meter = 3,
                    .atime = 12.3f,
                    .device = "hw:1",
                    .meas = 10,
                    .save = "out.wav"};
  EXPECT_EQ(ReadFile(dir / "rczembrol.txt"), SettingsFile(saved));
  const RunResult second = RunZembrol(dir.path(), "");
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.out, StartUpLoaded(saved) + Menu(saved));
}

// What a settings file shows at start-up; the parsing of each key is in
// settings_test.cc.
struct FileCase {
  const char* name;
  std::string content;
  Shown shown;
  std::string notice;  // printed after "Settings Loaded"
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class SettingsFileAtStartUp : public testing::TestWithParam<FileCase> {};

TEST_P(SettingsFileAtStartUp, ShowsTheSummary) {
  TempDir dir;
  WriteFile(dir / "rczembrol.txt", GetParam().content);
  RunResult r = RunZembrol(dir.path(), "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartUpLoaded(GetParam().shown, GetParam().notice) + Menu(GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsFileAtStartUp,
    testing::Values(FileCase{"EmptyShowsEveryDefault", "", {}, ""},
                    FileCase{"UnsupportedBitDepthIsReplacedBy24",
                             "bits\t20\n",
                             {},
                             "Bit depth 20 in rczembrol.txt is not supported; using 24 bits.\n"},
                    FileCase{"TextsTooLongKeepTheirFieldsAndTheLongestShow",
                             "device\t" + std::string(16, 'd') + "\nsave\t" + std::string(64, 's') +
                                 "\nmap\t" + std::string(128, 'm') + "\ndevice\t" +
                                 std::string(15, 'e') + "\nmap\t" + std::string(127, 'p') + "\n",
                             {.device = std::string(15, 'e'), .map = std::string(127, 'p')},
                             ""}),
    [](const testing::TestParamInfo<FileCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zembrol::test
