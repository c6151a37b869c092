// "ptm" end to end: every section is played on its own opening of `capn`.
#include <gtest/gtest.h>

#include "capture.h"
#include "e2e.h"

namespace zembrol::test {
namespace {

const std::string kDeviceStep = "Enter new playback device name.\n\n" + Menu({.device = "capn"});

struct Played {
  RunResult result;
  std::string printed;  // what "ptm" printed after its click line, the next menu left out
};

Played PlayMap(const Device& device, const std::string& map, const std::string& more = "") {
  TempDir work;
  WriteFile(work / "tmap.txt", map);
  Played played{RunZembrol(work.path(), "1 2 o capn ptm\n" + more, device.env()), ""};
  const std::string head = StartUpAsked() + Menu() + kDeviceStep + "\n";
  const std::string& out = played.result.out;
  EXPECT_EQ(out.substr(0, head.size()), head);
  played.printed = out.substr(std::min(head.size(), out.size()));
  return played;
}

std::string Section(int k) { return "\nPlaying section  " + std::to_string(k) + " \n\n"; }

std::string Capture(const Device& device, int opening) {
  char suffix[16] = "";
  if (opening > 0) std::snprintf(suffix, sizeof suffix, ".%04d", opening);
  return ReadFile(device.dir() / ("capn.raw" + std::string(suffix)));
}

TEST(PlayTempoMap, HelpTextSectionsPlayFrameExact) {
  Device device;
  Played p = PlayMap(device, "tmap\t120\t4\t48\ntmap\t160\t3\t16\n");
  EXPECT_EQ(p.result.status, 0);
  EXPECT_EQ(p.printed, "Parsing tmap file..\nFound 2 map entries.\n" + Section(1) +
                           Measures(22050, 4, 4233216) + Section(2) + Measures(16537, 3, 793600) +
                           Menu({.device = "capn"}));
  const std::vector<uint8_t> click = Click(44100, 60.0f, 24);
  EXPECT_EQ(FramesPlayed(4233600), 4233216);
  EXPECT_EQ(FramesPlayed(793800), 793600);
  EXPECT_TRUE(Capture(device, 0) == Pattern(click, 3, 22050, 4233216));
  EXPECT_TRUE(Capture(device, 1) == Pattern(click, 3, 16537, 793600));
}

TEST(PlayTempoMap, SectionLengthsInExtendedPrecision) {
  Device device;
  // 62999 and 96218 samples: neither is a whole number of beats.
  Played p = PlayMap(device, "tmap\t84\t2\t1\ntmap\t110\t4\t1\n", "t 90\nptm\n");
  EXPECT_EQ(p.result.status, 0);
  const std::string played = Section(1) + Measures(31500, 2, FramesPlayed(62999)) + Section(2) +
                             Measures(24054, 4, FramesPlayed(96218));
  const std::string parsed = "Parsing tmap file..\nFound 2 map entries.\n";
  // The tempo setting is not changed by playing a map.
  EXPECT_EQ(p.printed, parsed + played + Menu({.device = "capn"}) +
                           "Enter tempo in beats per minute\n\n" +
                           Menu({.tempo = 90, .device = "capn"}) + "\n" + parsed + played +
                           Menu({.tempo = 90, .device = "capn"}));
  const std::vector<uint8_t> click = Click(44100, 60.0f, 24);
  EXPECT_TRUE(Capture(device, 0) == Pattern(click, 3, 31500, FramesPlayed(62999)));
  EXPECT_TRUE(Capture(device, 1) == Pattern(click, 3, 24054, FramesPlayed(96218)));
}

TEST(PlayTempoMap, UnplayableSectionsAreSkippedWithANotice) {
  Device device;
  Played p = PlayMap(device,
                     "tmap\t0\t4\t4\n"
                     "tmap\t120\t-1\t4\n"
                     "tmap\t120\t100000\t100000\n"
                     "tmap\t120\t0\t4\n"
                     "tmap\t0.01\t1\t1\n"
                     "tmap\t200\t1\t2\n");
  EXPECT_EQ(p.result.status, 0);
  std::string expected = "Parsing tmap file..\nFound 6 map entries.\n";
  for (const std::string& part :
       {Section(1),
        std::string("A tempo of 0.0 bpm gives no playable beat at 44100 Hz; section 1 "
                    "is skipped.\n"),
        Section(2), std::string("Section 2 has no playable length at 44100 Hz; it is skipped.\n"),
        Section(3), std::string("Section 3 has no playable length at 44100 Hz; it is skipped.\n"),
        Section(4), std::string("\tMeasure  1\n"), Section(5),
        std::string("A beat of 264600005 samples is too long to play; section 5 is skipped.\n"),
        Section(6), Measures(13230, 1, 25600), Menu({.device = "capn"})})
    expected += part;
  EXPECT_EQ(p.printed, expected);
  EXPECT_EQ(Capture(device, 0), "");  // section 4 opens the device and plays nothing
  EXPECT_TRUE(Capture(device, 1) == Pattern(Click(44100, 60.0f, 24), 3, 13230, 25600));
}

TEST(PlayTempoMap, MissingMapReturnsToTheMenu) {
  Device device;
  TempDir work;
  RunResult r = RunZembrol(work.path(), "1 1 ptm t 90\n", device.env());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartUpAsked() + Menu() + "\n" +
                       "Could not open tempo map file 'tmap.txt': No such file or directory\n" +
                       Menu() + "Enter tempo in beats per minute\n\n" + Menu({.tempo = 90}));
}

TEST(PlayTempoMap, MapWithoutEntriesEndsWithStatusTwo) {
  Device device;
  Played p = PlayMap(device, "tmap 120 4 48\n\n", "x\n");
  EXPECT_EQ(p.result.status, 2);
  EXPECT_EQ(p.printed, "Parsing tmap file..\nCould not find tempo entries in map file.\n");
  EXPECT_FALSE(std::filesystem::exists(device.dir() / "capn.raw"));
}

}  // namespace
}  // namespace zembrol::test
