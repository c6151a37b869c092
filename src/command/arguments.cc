#include "command/arguments.h"

#include <cstdio>
#include <string_view>

#include "base/fatal.h"

namespace zembrol {

namespace {

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

}  // namespace

void AnswerArguments(int argc, const char* const* argv) {
  if (argc < 2) return;
  const std::string_view first = argv[1];
  const bool help = first == "--help" || first == "-h", version = first == "--version";
  if ((help || version) && argc == 2) {
    if (help) std::fputs(kUsage, stdout);
    if (version) std::puts("zembrol " ZEMBROL_VERSION);
    EndProgram(0);
  }
  // The first argument not understood: a second one after a known first.
  const char* unknown = help || version ? argv[2] : argv[1];
  std::fprintf(stderr, "zembrol: unknown argument '%s' (see zembrol --help)\n", unknown);
  EndProgram(2);
}

}  // namespace zembrol
