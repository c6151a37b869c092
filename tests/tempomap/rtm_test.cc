// "rtm" end to end: every section, back to back, in one WAV file.
#include <gtest/gtest.h>

#include "e2e.h"
#include "riff_bytes.h"

namespace zembrol::test {
namespace {

TEST(RenderTempoMap, HelpTextSectionsEqualAWriteThenAnAppend) {
  TempDir dir;
  WriteFile(dir / "tmap.txt", "# two sections\ntmap\t120\t4\t48\r\ntmap\t160\t3\t16\n");
  RunResult r = RunZembrol(dir.path(), "1 2 rtm\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartUpAsked() + Menu() + "\nParsing tmap file..\nFound 2 map entries.\n" +
                       Menu({.tempo = 160}));
  const std::string rendered = ReadFile(dir / "click.wav");
  ASSERT_EQ(rendered.size(), 15082244u);
  EXPECT_EQ(Le32(rendered, 4), 15082236u);
  EXPECT_EQ(Le32(rendered, 40), 15082200u);

  // The same two tracks written by "w" and "+" with the same click.
  TempDir other;
  RunZembrol(other.path(), "1 2 w t 160 b 3 m 16 + x\n");
  EXPECT_TRUE(ReadFile(other / "click.wav") == rendered);
}

TEST(RenderTempoMap, SectionLengthIsRoundedToSinglePrecisionSeconds) {
  TempDir dir;
  WriteFile(dir / "tmap.txt", "tmap\t42\t3\t1\ntmap\t0\t4\t4\ntmap\t-60\t-1\t4\n");
  WriteFile(dir / "click.wav", std::string(1000000, 'x'));  // replaced, never extended
  RunResult r = RunZembrol(dir.path(), "1 2 rtm\n");
  EXPECT_EQ(r.status, 0);
  // 188999 samples of 3 bytes; the sections of tempo 0 and below add nothing.
  EXPECT_EQ(ReadFile(dir / "click.wav").size(), 44u + 188999u * 3);
  EXPECT_TRUE(r.out.ends_with(Menu({.tempo = -60})));
}

TEST(RenderTempoMap, TooLongMapLeavesTheFileAlone) {
  TempDir dir;
  // Three sections of 8000 s: about 3.2 GB of 24-bit data.
  WriteFile(dir / "tmap.txt", "tmap\t120\t4\t4000\ntmap\t120\t4\t4000\ntmap\t120\t4\t4000\n");
  WriteFile(dir / "click.wav", "keep");
  RunResult r = RunZembrol(dir.path(), "1 2 rtm\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartUpAsked() + Menu() + "\nParsing tmap file..\nFound 3 map entries.\n" +
                       "The tempo map is too long for a WAV file; 'click.wav' was not written.\n" +
                       Menu());
  EXPECT_EQ(ReadFile(dir / "click.wav"), "keep");
}

}  // namespace
}  // namespace zembrol::test
