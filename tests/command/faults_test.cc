// Hostile input end to end: huge garbage on standard input and a NUL byte in
// the tempo map (settings_test.cc reads one in the settings file).
#include <gtest/gtest.h>

#include <random>

#include "e2e.h"

namespace zembrol::test {
namespace {

// 10 MB without white space: one word, consumed whole, never a command.
std::string GarbageWord() {
  std::mt19937 random(7);
  std::string word(10'000'000, 'x');
  for (char& c : word) {
    do {
      c = static_cast<char>(random() % 255 + 1);
    } while (std::isspace(static_cast<unsigned char>(c)));
  }
  return word;
}

TEST(HostileInput, TenMegabyteLineIsOneIgnoredWord) {
  TempDir dir;
  RunResult r = RunZembrol(dir.path(), "1 2\n" + GarbageWord() + "\nt 90\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartUpAsked() + Menu() + Menu() + "Enter tempo in beats per minute\n\n" +
                       Menu({.tempo = 90}));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(HostileInput, TenMegabyteLineAtTheNamePromptIsRefused) {
  TempDir dir;
  RunResult r = RunZembrol(dir.path(), "1 2\nn " + GarbageWord() + "\nw\n");
  EXPECT_EQ(r.out.substr(0, r.out.find("\n\n", r.out.find("Enter new output"))),
            StartUpAsked() + Menu() +
                "Enter new output file name.\n"
                "The output file name is longer than 63 characters; it "
                "stays 'click.wav'.");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "click.wav"));
}

TEST(HostileInput, TempoMapEndsAtItsFirstNulByte) {
  TempDir dir;
  TempDir reference;
  using namespace std::string_literals;
  const std::string map = "tmap\t120\t4\t1\n\0tmap\t160\t3\t16\n"s;
  WriteFile(dir / "tmap.txt", map);
  RunResult r = RunZembrol(dir.path(), "1 2\nrtm\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Parsing tmap file..\nFound 1 map entries.\n"), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "tmap.txt"), map);
  RunZembrol(reference.path(), "1 2\nt 120 b 4 m 1 w\n");
  EXPECT_EQ(ReadFile(dir / "click.wav"), ReadFile(reference / "click.wav"));
}

}  // namespace
}  // namespace zembrol::test
