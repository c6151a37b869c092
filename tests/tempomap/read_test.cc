#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "e2e.h"
#include "tempomap/tempomap.h"

namespace zembrol {
namespace {

using test::TempDir;
using test::WriteFile;

// Runs ReadTempoMap and returns what it printed.
std::string ReadPrinting(const std::string& path, std::optional<TempoMap>& map) {
  testing::internal::CaptureStdout();
  map = ReadTempoMap(path.c_str());
  return testing::internal::GetCapturedStdout();
}

TEST(TempoMapRead, HelpTextFileGivesTwoEntries) {
  TempDir dir;
  WriteFile(dir / "tmap.txt", "tmap\t120\t4\t48\ntmap\t160\t3\t16\n");
  std::optional<TempoMap> map;
  EXPECT_EQ(ReadPrinting((dir / "tmap.txt").string(), map),
            "Parsing tmap file..\nFound 2 map entries.\n");
  ASSERT_TRUE(map.has_value());
  ASSERT_EQ(map->count, 2);
  EXPECT_EQ(map->entries[2].tempo, 160.0f);
}

TEST(TempoMapRead, ExampleFileGivesHelpTextSections) {
  std::optional<TempoMap> map;
  EXPECT_EQ(ReadPrinting(ZEMBROL_SOURCE_DIR "/examples/tmap.txt", map),
            "Parsing tmap file..\nFound 2 map entries.\n");
  ASSERT_TRUE(map.has_value());
  ASSERT_EQ(map->count, 2);
  EXPECT_EQ(map->entries[1].tempo, 120.0f);
  EXPECT_EQ(map->entries[1].beatsPerMeasure, 4);
  EXPECT_EQ(map->entries[1].measures, 48);
  EXPECT_EQ(map->entries[2].tempo, 160.0f);
  EXPECT_EQ(map->entries[2].beatsPerMeasure, 3);
  EXPECT_EQ(map->entries[2].measures, 16);
}

TEST(TempoMapRead, MoreThan255EntriesPrintsNotice) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 300; ++i) text += "tmap\t120\t4\t1\n";
  WriteFile(dir / "long.txt", text);
  std::optional<TempoMap> map;
  EXPECT_EQ(ReadPrinting((dir / "long.txt").string(), map),
            "Parsing tmap file..\n"
            "Only the first 255 map entries are used; the rest were ignored.\n"
            "Found 255 map entries.\n");
  ASSERT_TRUE(map.has_value());
  EXPECT_EQ(map->count, 255);
}

TEST(TempoMapRead, MissingFileNamedAndNoMap) {
  TempDir dir;
  const std::string path = (dir / "none.txt").string();
  std::optional<TempoMap> map;
  EXPECT_EQ(ReadPrinting(path, map),
            "Could not open tempo map file '" + path + "': No such file or directory\n");
  EXPECT_FALSE(map.has_value());
}

TEST(TempoMapRead, DirectoryNamedAndNoMap) {
  TempDir dir;
  const std::string path = dir.path().string();
  std::optional<TempoMap> map;
  EXPECT_EQ(ReadPrinting(path, map),
            "Could not read tempo map file '" + path + "': Is a directory\n");
  EXPECT_FALSE(map.has_value());
}

// Runs ReadTempoMap with standard output sent to standard error, where the
// death test can compare it.
void ReadWithStdoutOnStderr(const std::string& path) {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  test::RunAsMain([&] { ReadTempoMap(path.c_str()); });
}

TEST(TempoMapReadDeathTest, NoEntriesEndsWithStatus2) {
  TempDir dir;
  const char* const texts[] = {"", "\n\n", "tmap 120 4 48\n", "# only a comment\n"};
  for (const char* text : texts) {
    WriteFile(dir / "tmap.txt", text);
    EXPECT_EXIT(ReadWithStdoutOnStderr((dir / "tmap.txt").string()), testing::ExitedWithCode(2),
                testing::Eq("Parsing tmap file..\nCould not find tempo entries in map file.\n"))
        << "text: " << text;
  }
}

}  // namespace
}  // namespace zembrol
