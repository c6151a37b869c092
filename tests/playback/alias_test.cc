// A device whose name is too long for the `o` setting, reached through a
// short alias in ~/.asoundrc as the README shows it (examples/asoundrc).
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>

#include "capture.h"
#include "e2e.h"

namespace zembrol::test {
namespace {

std::filesystem::path SourceFile(const char* name) {
  return std::filesystem::path(ZEMBROL_SOURCE_DIR) / name;
}

// The device the example's alias stands for, as it is written there.
constexpr std::string_view kLongName = "\"plughw:CARD=PCH,DEV=0\"";

TEST(DeviceAlias, ExampleAliasInHomeAsoundrcPlaysTheAudition) {
  std::string config = ReadFile(SourceFile("examples/asoundrc"));
  const size_t at = config.find(kLongName);
  ASSERT_NE(at, std::string::npos) << "examples/asoundrc does not name " << kLongName;

  // The long name becomes a PCM that stores the frames it is given.
  TempDir home;
  const std::filesystem::path capture = home / "cap.raw";
  config.replace(at, kLongName.size(), "\"cap\"");
  config += "pcm.cap { type file; slave.pcm \"null\"; file \"" + capture.string() +
            "\"; format \"raw\" }\n";
  WriteFile(home / ".asoundrc", config);

  TempDir work;
  const RunResult r = RunZembrol(
      work.path(), "1 2\no click\na\n",
      {{"HOME", home.path().string()}, {"ALSA_CONFIG_PATH", ""}, {"XDG_CONFIG_HOME", ""}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\tMeasure  5\n"), std::string::npos) << r.out;
  // Defaults: 44100 Hz, 24 bits, 120 bpm, 10 seconds.
  const std::string raw = ReadFile(capture);
  EXPECT_EQ(raw.size(), 440320u * 3);
  EXPECT_TRUE(raw == Pattern(Click(44100, 60.0f, 24), 3, 22050, 440320));
}

TEST(DeviceAlias, ReadmeQuotesTheExampleAsIs) {
  std::istringstream lines(ReadFile(SourceFile("examples/asoundrc")));
  std::string quoted;
  for (std::string line; std::getline(lines, line);) quoted += "    " + line + "\n";
  const std::string readme = ReadFile(SourceFile("README.md"));
  EXPECT_NE(readme.find("\n\n" + quoted + "\n"), std::string::npos)
      << "README.md does not show examples/asoundrc as a block:\n"
      << quoted;
}

}  // namespace
}  // namespace zembrol::test
