// "s", "w", "+" and "rtm" in a directory shared with another user (uid 65534),
// world-writable and sticky like /tmp or writable by a group like a band's
// project folder: nothing that user plants where a side file goes, or as a
// symbolic link in the output's place, receives a byte or stops a save.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "e2e.h"

namespace zembrol::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOther = 65534;
// Giving the shared directory to kOther's group, and becoming kOther.
const std::initializer_list<int> kPlanting = {CAP_CHOWN, CAP_SETGID, CAP_SETUID};

// Runs `plant` in a child as uid and gid 65534; returns its status.
template <class Plant>
int AsOther(Plant plant) {
  const pid_t pid = fork();
  if (pid == 0) {
    const bool dropped = setgroups(0, nullptr) == 0 && setresgid(kOther, kOther, kOther) == 0 &&
                         setresuid(kOther, kOther, kOther) == 0;
    _exit(dropped && plant() ? 0 : 1);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  return status;
}

// A directory `mode` (01777 or 0770, its group 65534's) in an open temporary one.
fs::path Shared(const TempDir& dir, mode_t mode) {
  fs::permissions(dir.path(), fs::perms(0755));
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  if (chown(shared.c_str(), 0, kOther) != 0 || chmod(shared.c_str(), mode) != 0) return {};
  WriteFile(shared / "victim.txt", "the victim's");
  fs::permissions(shared / "victim.txt", fs::perms(0666));
  return shared;
}

enum class Plant { kHeldFile, kHardLink, kSymlink, kFifo, kDirectory };
constexpr const char* kPlantNames[] = {"OthersFile", "HardLinkToVictims", "Symlink", "Fifo",
                                       "Directory"};

using SideCase = std::tuple<mode_t, bool, Plant>;  // directory mode, "s" (else "+"), what

class SharedDirSideFile : public testing::TestWithParam<SideCase> {};

TEST_P(SharedDirSideFile, IsLeftAloneAndTheFileReplacedAsTheUsers) {
  if (const std::string why = Lacking(kPlanting, "planting files as uid 65534"); !why.empty())
    GTEST_SKIP() << why;
  const mode_t mode = std::get<0>(GetParam());
  const bool save = std::get<1>(GetParam());
  const Plant plant = std::get<2>(GetParam());
  TempDir dir;
  const fs::path shared = Shared(dir, mode);
  ASSERT_FALSE(shared.empty());
  const fs::path target = shared / (save ? "rczembrol.txt" : "click.wav");
  const fs::path side = target.string() + ".zembrol-new";
  const Shown settings{.bits = 16, .meas = 1};
  WriteFile(shared / "rczembrol.txt", SettingsFile(settings));
  if (!save)
    fs::copy_file(fs::path(ZEMBROL_SOURCE_DIR) / "tests/wav/files/sndfile-metadata.wav", target);
  ASSERT_EQ(AsOther([&] {
              switch (plant) {
                case Plant::kHeldFile: {
                  const int fd = open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
                  return fd >= 0 && fchmod(fd, 0666) == 0 && write(fd, "planted", 7) == 7;
                }
                case Plant::kHardLink:
                  return link((shared / "victim.txt").c_str(), side.c_str()) == 0;
                case Plant::kSymlink:
                  return symlink("victim.txt", side.c_str()) == 0;
                case Plant::kFifo:
                  return mkfifo(side.c_str(), 0666) == 0;
                case Plant::kDirectory:
                  return mkdir(side.c_str(), 0777) == 0;
              }
              return false;
            }),
            0);
  // The planted file stays open, as its owner may keep it.
  const int held = plant == Plant::kHeldFile ? open(side.c_str(), O_RDONLY) : -1;
  struct stat planted;
  struct stat before;
  ASSERT_EQ(lstat(side.c_str(), &planted) | stat(target.c_str(), &before), 0);

  const RunResult r = RunZembrol(shared, save ? "t 90\ns\n" : "+\n");
  EXPECT_EQ(r.status, 0);
  struct stat after;
  struct stat left;
  ASSERT_EQ(stat(target.c_str(), &after) | lstat(side.c_str(), &left), 0);
  EXPECT_NE(after.st_ino, before.st_ino);  // replaced by rename
  EXPECT_NE(after.st_ino, planted.st_ino);
  EXPECT_EQ(after.st_uid, 0u);
  EXPECT_EQ(left.st_ino, planted.st_ino);
  EXPECT_EQ(left.st_mode, planted.st_mode);
  EXPECT_EQ(ReadFile(shared / "victim.txt"), "the victim's");
  if (plant == Plant::kHeldFile) {
    EXPECT_EQ(ReadFile(side), "planted");
  }
  if (save) {
    EXPECT_NE(r.out.find("\nSaved Settings\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(target), SettingsFile({.bits = 16, .tempo = 90, .meas = 1}));
  } else {
    EXPECT_EQ(CommandOutput("soxi -s '" + target.string() + "'"), "89523");  // 1323 + 88200
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(shared), {}), save ? 3 : 4);  // nothing new
  if (held >= 0) close(held);
}

INSTANTIATE_TEST_SUITE_P(Planted, SharedDirSideFile,
                         testing::Combine(testing::Values(01777, 0770), testing::Bool(),
                                          testing::Values(Plant::kHeldFile, Plant::kHardLink,
                                                          Plant::kSymlink, Plant::kFifo,
                                                          Plant::kDirectory)),
                         [](const testing::TestParamInfo<SideCase>& info) {
                           return std::string(std::get<0>(info.param) == 01777 ? "Sticky"
                                                                               : "Group") +
                                  (std::get<1>(info.param) ? "Save" : "Append") +
                                  kPlantNames[static_cast<int>(std::get<2>(info.param))];
                         });

// Another user's symbolic link in the output's place: one line, nothing written.
using LinkCase = std::tuple<mode_t, std::string>;  // directory mode, command

class SharedDirForeignLink : public testing::TestWithParam<LinkCase> {};

TEST_P(SharedDirForeignLink, IsRefusedInOneLine) {
  if (const std::string why = Lacking(kPlanting, "planting links as uid 65534"); !why.empty())
    GTEST_SKIP() << why;
  const mode_t mode = std::get<0>(GetParam());
  const std::string command = std::get<1>(GetParam());
  TempDir dir;
  const fs::path shared = Shared(dir, mode);
  ASSERT_FALSE(shared.empty());
  const std::string name = command == "s" ? "rczembrol.txt" : "click.wav";
  WriteFile(shared / "tmap.txt", "tmap\t120\t4\t1\n");
  if (command != "s") WriteFile(shared / "rczembrol.txt", SettingsFile());
  ASSERT_EQ(AsOther([&] { return symlink("victim.txt", (shared / name).c_str()) == 0; }), 0);

  const RunResult r = RunZembrol(shared, command + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\n'" + name +
                       "' is a symbolic link owned by another user; nothing was written.\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFile(shared / "victim.txt"), "the victim's");
  EXPECT_TRUE(fs::is_symlink(shared / name));
  EXPECT_EQ(std::distance(fs::directory_iterator(shared), {}), command == "s" ? 3 : 4);
}

INSTANTIATE_TEST_SUITE_P(
    Planted, SharedDirForeignLink,
    testing::Combine(testing::Values(01777, 0770), testing::Values("s", "w", "+", "rtm")),
    [](const testing::TestParamInfo<LinkCase>& info) {
      const std::string& command = std::get<1>(info.param);
      const std::string word = command == "s"   ? "Save"
                               : command == "w" ? "Write"
                               : command == "+" ? "Append"
                                                : "Render";
      return std::string(std::get<0>(info.param) == 01777 ? "Sticky" : "Group") + word;
    });

}  // namespace
}  // namespace zembrol::test
