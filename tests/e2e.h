// Runs the real zembrol binary in a temporary directory with scripted
// standard input, and builds the texts it is expected to print.
#pragma once

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/fatal.h"

namespace zembrol::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the guard goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct RunResult {
  std::string out;       // standard output
  std::string err;       // standard error
  int status = -1;       // exit status, or -1 when the process did not exit normally
  off_t inputRead = -1;  // how far it read its standard input
};

// How the binary is started.
struct RunOptions {
  std::map<std::string, std::string> env;  // set, or with an empty value removed
  rlim_t fileSizeLimit = RLIM_INFINITY;    // RLIMIT_FSIZE of the child; not of its output
  bool ignoreFileSizeSignal = false;       // SIGXFSZ ignored rather than at its default
  const char* binary = ZEMBROL_BINARY;
  std::vector<std::string> arguments = {};  // after the program's name
  // The uid and gid it runs as, without supplementary groups.
  std::optional<uid_t> user = std::nullopt;
  // System calls that fail with the given errno, say {__NR_copy_file_range,
  // EXDEV}: a seccomp filter installed right before the exec, which
  // NoSystemCallFilter() tells whether this machine takes.
  std::map<long, int> failing = {};
};

// Why a filter of RunOptions::failing can't be installed here (under
// qemu-user, say), or "" when it can.
std::string NoSystemCallFilter();

// Why this process can't do what a test needs (`purpose`), or "" when it can:
// each capability (CAP_CHOWN, CAP_SETUID...) must be in its effective set, as
// it is for root outside a container. The reason names the missing ones.
std::string Lacking(std::initializer_list<int> capabilities, const std::string& purpose);

// The calls that set extended attributes, each failing with `error`.
std::map<long, int> SetxattrFailing(int error);

// The binary running in `dir` with `input` on standard input; its standard
// output and error go to files that Wait() reads (standard output to a pipe
// under a file size limit).
class Running {
 public:
  Running(const std::filesystem::path& dir, const std::string& input,
          const RunOptions& options = {});
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  ~Running();
  pid_t pid() const { return pid_; }
  // True once the process has ended (it stays waitable).
  bool Ended() const;
  // What it has written to standard output so far.
  std::string Output() const;
  RunResult Wait();

 private:
  TempDir io_;
  pid_t pid_ = -1;
  int outPipe_ = -1;  // standard output under a file size limit
  int input_ = -1;    // the child's standard input, whose offset it moves
};

// Runs the binary to its end.
RunResult RunZembrol(const std::filesystem::path& dir, const std::string& input,
                     const RunOptions& options = {});
RunResult RunZembrol(const std::filesystem::path& dir, const std::string& input,
                     const std::map<std::string, std::string>& env,
                     const char* binary = ZEMBROL_BINARY);

// Runs `body` as main does, for death tests: a ProgramEnd becomes the exit
// status of the process.
template <class Body>
void RunAsMain(Body body) {
  try {
    body();
  } catch (const ProgramEnd& end) {
    std::exit(end.status);
  }
}

std::string ReadFile(const std::filesystem::path& path);

// Runs a shell command (sox, soxi) and returns its standard output and error,
// trailing newlines removed.
std::string CommandOutput(const std::string& command);
void WriteFile(const std::filesystem::path& path, const std::string& content);

// Gives `file` a user.* attribute, an ACL that denies uid 65534 everything
// and, where the file system has it, the no-dump flag (chattr +d). Returns
// why not when the file system takes no such attribute, else "".
std::string GiveAttributes(const std::filesystem::path& file);

// What getfattr, getfacl and lsattr show of `file`, its name left out.
std::string Attributes(const std::filesystem::path& file);

// A side file NAME.zembrol-new as a killed run leaves it: `bytes` of junk,
// mode 0600, ours, one link.
void WriteLeftover(const std::filesystem::path& target, size_t bytes);

// The settings as the program shows them (start-up summary, menu) and saves
// them; the defaults are the program's. Both print the rate with "%i", so a
// rate above 2^31 - 1 comes out negative.
struct Shown {
  uint32_t rate = 44100;
  int bits = 24;
  float tempo = 120.0f;
  float Hz = 60.0f;
  int meter = 4;
  float atime = 10.0f;
  std::string device = "default";
  int meas = 48;
  std::string save = "click.wav";
  std::string map = "tmap.txt";
};

// For parameterised tests: the settings a run's output depends on most.
void PrintTo(const Shown& shown, std::ostream* os);

std::string Menu(const Shown& shown = {});

// The banner and the settings-file check.
std::string Banner();

// Banner and settings-file check, then the two start-up questions and "ready".
std::string StartUpAsked();

// Banner, "Settings Loaded", `notice` (whole lines), the summary of `shown`
// between two rulers, and "ready".
std::string StartUpLoaded(const Shown& shown = {}, const std::string& notice = "");

// The ten lines that "s" saves for `shown`, and that load as `shown`.
std::string SettingsFile(const Shown& shown = {});

}  // namespace zembrol::test
