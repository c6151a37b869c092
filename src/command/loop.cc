#include "command/loop.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "base/fatal.h"
#include "base/file.h"
#include "base/numbers.h"
#include "base/samples.h"
#include "command/input.h"
#include "playback/playback.h"
#include "tempomap/tempomap.h"
#include "wav/wav.h"

namespace zembrol {
namespace {

constexpr size_t kCommandLimit = 7;  // the command word's 8-byte buffer

using Click = std::vector<uint8_t>;

void PrintSummary(const Settings& s) {
  std::puts("-------------------------");
  std::printf("rate: %i\tbits: %i\tdevice: %s\n", static_cast<int>(s.rate), s.bits, s.device);
  std::printf("meter: %i\tmeas: %i\tatime: %.1f\n", s.meter, s.meas, static_cast<double>(s.atime));
  std::printf("Hz: %.2f\tsave: %s\ttmap: %s\n", static_cast<double>(s.Hz), s.save, s.map);
  std::puts("-------------------------");
}

bool IsDirectory(const File& file) {
  struct stat info;
  return fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode);
}

void AskStartUpQuestions(Settings& s, Input& in) {
  std::puts("\nEnter sample rate or");
  std::puts("0 = exit, 1 = 44100,  2 = 48000,  3 = 88200,  4 = 96000");
  int32_t answer = 0;
  if (ReadInt(in, answer) == NumberStatus::kOk) {
    switch (answer) {
      case 0:
        EndProgram(2);
      case 1:
        s.rate = 44100;
        break;
      case 2:
        s.rate = 48000;
        break;
      case 3:
        s.rate = 88200;
        break;
      case 4:
        s.rate = 96000;
        break;
      default:
        s.rate = static_cast<uint32_t>(answer);
    }
  }
  std::puts("\nChoose Bit Depth (1 = 16 bits, 2 = 24 bits)");
  int32_t depth = 0;
  ReadInt(in, depth);
  s.bits = depth == 1 ? 16 : 24;
}

void PrintMenu(const Session& session) {
  const Settings& s = session.settings;
  std::puts("");
  std::puts("Global settings:");
  std::printf("\tEnter 't' to adjust tempo (%.1f bpm).\n", static_cast<double>(s.tempo));
  std::printf("\tEnter 'f' to set the lowest click frequency (%.1f Hz).\n",
              static_cast<double>(s.Hz));
  std::printf("\tEnter 'b' to set beats per measure (%i)\n", s.meter);
  std::puts("\tEnter 'h' for tempo map file help");
  std::puts("\tEnter 's' to save current settings to 'rczembrol.txt'");
  std::puts("\tEnter 'x' to exit.");
  std::puts("");
  std::puts("Audition settings:");
  std::puts("\tEnter 'a' to audition click.");
  std::printf("\tEnter 'al' to set the audition length (%.1f sec).\n",
              static_cast<double>(s.atime));
  std::printf("\tEnter 'o' to change output device from '%s'.\n", s.device);
  std::puts("\tEnter 'ptm' to play tempo map file.");
  std::puts("");
  std::puts("Output file settings:");
  std::printf("\tEnter 'm' to set number of measures to write (%i).\n", s.meas);
  std::printf("\tEnter 'n' to change the output file name from '%s'.\n", s.save);
  std::printf("\tEnter 'w' to write from beginning of '%s'.\n", s.save);
  std::printf("\tEnter '+' to add new click to end of '%s'.\n", s.save);
  std::puts("\tEnter 'rtm' to read tempo map file and write click track file.");
}

// Settings steps -----------------------------------------------------------

void RecomputeTrackSeconds(Session& session) {
  const Settings& s = session.settings;
  session.trackSeconds = TrackSecondsFor(s.meas, s.meter, s.tempo);
}

void AskTempo(Session& session, Input& in) {
  std::puts("Enter tempo in beats per minute");
  ReadFloat(in, session.settings.tempo);
  RecomputeTrackSeconds(session);
}

void AskFrequency(Session& session, Input& in) {
  std::puts("\nEnter lowest frequency of click in Hz");
  ReadFloat(in, session.settings.Hz);
}

void AskMeter(Session& session, Input& in) {
  std::puts("Enter beats per measure");
  ReadInt(in, session.settings.meter);
  RecomputeTrackSeconds(session);
}

void AskMeasures(Session& session, Input& in) {
  std::puts("\nEnter number of measures");
  ReadInt(in, session.settings.meas);
  RecomputeTrackSeconds(session);
}

void AskAuditionLength(Session& session, Input& in) {
  std::puts("\nEnter audition length in seconds");
  ReadFloat(in, session.settings.atime);
}

// Reads one word into a text field; a word longer than the field is refused.
template <size_t N>
void AskName(char (&field)[N], const char* what, Input& in) {
  static_assert(N - 1 <= kLongestWord);
  Word word = ReadWord(in, N - 1);
  if (word.status == WordStatus::kTooLong) {
    std::printf("The %s is longer than %zu characters; it stays '%s'.\n", what, N - 1, field);
  } else if (word.status == WordStatus::kOk) {
    StoreText(field, word.text);
  }
}

void AskFileName(Session& session, Input& in) {
  std::puts("Enter new output file name.");
  AskName(session.settings.save, "output file name", in);
}

void AskDevice(Session& session, Input& in) {
  std::puts("Enter new playback device name.");
  AskName(session.settings.device, "playback device name", in);
}

void ShowHelp(Session&, Input& in) {
  std::puts("");
  std::puts("How to Create a Remote Tempo Map File:\n");
  std::puts("1. Make a plain text file called tmap.txt.\n");
  std::puts("2. Start a line with the command 'tmap' for a new tempo or meter.\n");
  std::puts("3. Then enter tempo, beats per measure, and measures.\n");
  std::puts("   Use a <tab> after tmap as well as between values.\n");
  std::puts("   Example:\n");
  std::puts("   tmap\t120\t4\t48");
  std::puts("   tmap\t160\t3\t16\n");
  std::puts("4. Save the file in same directory as this program.");
  std::puts("");
  std::puts("Enter 'c' to continue.");
  while (true) {
    Word word = ReadWord(in, kCommandLimit);
    if (word.status == WordStatus::kEnd) EndProgram(0);
    if (word.status == WordStatus::kOk && word.text == "c") return;
  }
}

void SaveSettings(Session& session, Input&) { WriteParams(session.settings); }

[[noreturn]] void Exit(Session&, Input&) { EndProgram(2); }

// Actions: each receives the click prepared for this command ---------------

void Audition(Session& session, const Click& click) {
  const Settings& s = session.settings;
  const AuditionRequest request{.rate = s.rate,
                                .bits = s.bits,
                                .device = s.device,
                                .tempo = s.tempo,
                                .atime = s.atime,
                                .meter = s.meter};
  PlayAudition(request, click, session.shape.clickSamples, session.silence, session.bytesPerSample);
}

void WriteTrack(Session& session, const Click& click) {
  const Settings& s = session.settings;
  const Track track{.rate = s.rate,
                    .bits = s.bits,
                    .tempo = s.tempo,
                    .totalSamples = session.shape.trackSamples,
                    .click = click,
                    .clickSamples = session.shape.clickSamples,
                    .silence = session.silence};
  WriteClickTrack(track, session.shape.trackTooLong, s.save);
}

void AppendTrack(Session& session, const Click& click) {
  const Settings& s = session.settings;
  const Track track{.rate = s.rate,
                    .bits = s.bits,
                    .tempo = s.tempo,
                    .totalSamples = session.shape.trackSamples,
                    .click = click,
                    .clickSamples = session.shape.clickSamples,
                    .silence = session.silence};
  AppendClickTrack(track, session.shape.trackTooLong, s.save);
}

SectionOutput SectionsOf(const Session& session, const Click& click) {
  const Settings& s = session.settings;
  return {.rate = s.rate,
          .bits = s.bits,
          .device = s.device,
          .save = s.save,
          .click = click,
          .clickSamples = session.shape.clickSamples,
          .silence = session.silence,
          .bytesPerSample = session.bytesPerSample};
}

void RenderTempoMap(Session& session, const Click& click) {
  const Settings& s = session.settings;
  if (SameFile(s.save, s.map)) {
    std::printf("'%s' is the tempo map file; 'rtm' does not write over it.\n", s.save);
    return;
  }
  const std::optional<TempoMap> map = ReadTempoMap(session.settings.map);
  if (!map) return;
  const std::optional<RenderedSettings> rendered = RenderSections(*map, SectionsOf(session, click));
  if (!rendered) return;
  session.settings.tempo = rendered->tempo;
  session.trackSeconds = rendered->trackSeconds;
}

void PlayTempoMap(Session& session, const Click& click) {
  const std::optional<TempoMap> map = ReadTempoMap(session.settings.map);
  if (map) PlaySections(*map, SectionsOf(session, click));
}

struct Command {
  std::string_view word;
  void (*settingsStep)(Session&, Input&);
  void (*action)(Session&, const Click&);
};

constexpr Command kCommands[] = {
    {"t", AskTempo, nullptr},         {"f", AskFrequency, nullptr},
    {"b", AskMeter, nullptr},         {"h", ShowHelp, nullptr},
    {"s", SaveSettings, nullptr},     {"x", Exit, nullptr},
    {"a", nullptr, Audition},         {"al", AskAuditionLength, nullptr},
    {"o", AskDevice, nullptr},        {"ptm", nullptr, PlayTempoMap},
    {"m", AskMeasures, nullptr},      {"n", AskFileName, nullptr},
    {"w", nullptr, WriteTrack},       {"+", nullptr, AppendTrack},
    {"rtm", nullptr, RenderTempoMap},
};

const Command* FindCommand(std::string_view word) {
  const auto* found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                   [&](const Command& command) { return command.word == word; });
  return found == std::end(kCommands) ? nullptr : found;
}

}  // namespace

float TrackSecondsFor(int32_t meas, int32_t meter, float tempo) {
  const double beats = static_cast<double>(static_cast<int64_t>(meas) * meter);
  return NarrowToFloat(beats * (60.0 / tempo));
}

void StartUp(Session& session, Input& in) {
  Settings& s = session.settings;
  std::puts("\nZembrol v. " ZEMBROL_VERSION " (m) by Pellorin\n");
  std::puts("Checking for rczembrol.txt file...");
  File file = File::Open(kSettingsFile, "r");
  if (file && IsDirectory(file)) file.Close();  // opens, but holds no settings
  if (file) {
    GET_PARAMS(std::move(file), s);
    std::puts("Settings Loaded");
    if (s.bits != 16 && s.bits != 24) {
      std::printf("Bit depth %i in %s is not supported; using 24 bits.\n", s.bits, kSettingsFile);
      s.bits = 24;
    }
    PrintSummary(s);
  } else {
    AskStartUpQuestions(s, in);
  }
  const double beats = static_cast<double>(static_cast<int64_t>(s.meas) * s.meter);
  session.trackSeconds = NarrowToFloat(beats / (s.tempo / 60.0));
  session.bytesPerSample = BytesPerSample(s.bits);
  session.silence.assign(static_cast<size_t>(session.bytesPerSample), 0);
  std::puts("ready");
  session.shape.partials = 8;
  session.shape.cycles = 3;
}

void RunCommandLoop(Session& session, Input& in) {
  while (true) {
    PrintMenu(session);
    Word word = ReadWord(in, kCommandLimit);
    if (word.status == WordStatus::kEnd) EndProgram(0);
    const Command* command = FindCommand(word.text);
    if (word.status != WordStatus::kOk || command == nullptr) continue;

    if (command->settingsStep != nullptr) command->settingsStep(session, in);

    const Settings& s = session.settings;
    const ClickRequest request{s.rate, s.Hz, s.bits, session.trackSeconds};
    const Click click = PrepareClick(request, session.shape);
    if (command->action != nullptr) command->action(session, click);
  }
}

}  // namespace zembrol
