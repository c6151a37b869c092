// Real-time priority for a play, seen in zembrol_recorded's scheduling log
// (ALSA_RECORDER_SCHED): root gets SCHED_FIFO 20 through CAP_SYS_NICE; uid
// 65534 gets it only from a RealtimeKit stand-in (realtimekit.py) on a private
// system bus, and plays the same bytes at SCHED_OTHER when refused. A "w"
// after the play runs with the scheduling the program started with.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>

#include "capture.h"
#include "e2e.h"
#include "sha256.h"

namespace zembrol::test {
namespace {

// A shell command with umask 0 whose standard output is read line by line;
// it first prints its process id, which the command then keeps through exec.
// Ended with SIGTERM and reaped when the guard goes.
class Started {
 public:
  explicit Started(const std::string& command)
      : pipe_(popen(("umask 0; echo $$; exec " + command).c_str(), "r")), pid_(std::stoi(Line())) {}
  ~Started() {
    kill(pid_, SIGTERM);
    pclose(pipe_);
  }
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;
  std::string Line() {
    char line[512] = "";
    if (pipe_ == nullptr || std::fgets(line, sizeof line, pipe_) == nullptr) return "";
    const std::string text = line;
    return text.substr(0, text.find('\n'));
  }

 private:
  std::FILE* pipe_;
  pid_t pid_;
};

TEST(Realtime, PlayRunsAtFifo20WhereGrantedAndAsBeforeWhereRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: CAP_SYS_NICE and a switch to uid 65534";
  const struct {
    const char* name;
    std::optional<uid_t> user;
    std::string kit;     // the stand-in's answer, "grant" or "refuse"; "": no bus
    std::string during;  // at the opening and every write
    std::string after;   // at each opening of click.wav by "w"
    Lines kitCalls;      // "<method> <value>" for the program's thread
  } cases[] = {
      {"root", std::nullopt, "", "SCHED_FIFO 20 nice 0", "SCHED_OTHER 0 nice 0", {}},
      {"uid 65534, no bus", 65534, "", "SCHED_OTHER 0 nice 0", "SCHED_OTHER 0 nice 0", {}},
      // Only a privileged thread clears SCHED_RESET_ON_FORK again.
      {"uid 65534, RealtimeKit grants",
       65534,
       "grant",
       "SCHED_FIFO|SCHED_RESET_ON_FORK 20 nice 0",
       "SCHED_OTHER|SCHED_RESET_ON_FORK 0 nice 0",
       {"MakeThreadRealtime 20"}},
      {"uid 65534, RealtimeKit refuses",
       65534,
       "refuse",
       "SCHED_OTHER 0 nice 0",
       "SCHED_OTHER 0 nice 0",
       {"MakeThreadRealtime 20", "MakeThreadHighPriority -15"}},
  };
  std::string rootOut;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir bus;
    chmod(bus.path().c_str(), 0755);
    std::string address = "unix:path=" + (bus / "none").string();
    std::optional<Started> daemon, kit;
    if (!c.kit.empty()) {
      WriteFile(bus / "bus.conf",
                "<busconfig><type>system</type><listen>unix:path=" + (bus / "bus").string() +
                    "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                    "<allow user=\"*\"/><allow own=\"*\"/>"
                    "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                    "</policy></busconfig>");
      daemon.emplace("dbus-daemon --nofork --nopidfile --print-address=1 --config-file=" +
                     (bus / "bus.conf").string() + " 2>/dev/null");
      address = daemon->Line();
      kit.emplace("env DBUS_SYSTEM_BUS_ADDRESS=" + address + " /usr/bin/python3 " +
                  ZEMBROL_SOURCE_DIR "/tests/playback/realtimekit.py " + c.kit + " " +
                  (bus / "kit.log").string());
      ASSERT_EQ(kit->Line(), "ready");
    }
    Device device;
    TempDir work;
    chmod(device.dir().c_str(), 0777);
    chmod(work.path().c_str(), 0777);
    RunOptions options{.env = device.env(), .binary = ZEMBROL_RECORDED_BINARY, .user = c.user};
    options.env["ALSA_RECORDER_SCHED"] = (work / "sched.log").string();
    options.env["DBUS_SYSTEM_BUS_ADDRESS"] = address;
    // One second of "a" (43 writes), then "w" of one measure.
    Running running(work.path(), "1 2\no cap\nal 1\na\nm 1\nw\n", options);
    const std::string thread = std::to_string(running.pid());
    const RunResult result = running.Wait();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    if (rootOut.empty()) rootOut = result.out;
    EXPECT_EQ(result.out, rootOut);
    EXPECT_EQ(Sha256(ReadFile(device.capture())), kOneSecondCapture);

    int writes = 0, opened = 0;
    const std::regex format(R"((.*) (SCHED_\S+ \d+ nice -?\d+) locked (-?\d+))");
    for (const std::string& line : SplitLines(ReadFile(work / "sched.log"))) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, format)) << line;
      const long locked = std::stol(m[3]);
      if (m[1] == "snd_pcm_open") {
        EXPECT_EQ(m[2], c.during);
      }
      if (m[1] == "snd_pcm_writei") {
        ++writes;
        EXPECT_EQ(m[2], c.during);
        EXPECT_GE(locked, 68);  // the beat (66150 bytes) and the period (3072 bytes), in kB
      }
      if (m[1] == "open click.wav") {
        ++opened;
        EXPECT_EQ(m[2], c.after);
        EXPECT_EQ(locked, 0);
      }
    }
    EXPECT_EQ(writes, 43);
    EXPECT_GT(opened, 0);
    Lines kitCalls;
    for (const std::string& call : c.kitCalls)
      kitCalls.push_back(call.substr(0, call.find(' ') + 1) + thread + call.substr(call.find(' ')));
    EXPECT_EQ(SplitLines(ReadFile(bus / "kit.log")), kitCalls);
  }
}

}  // namespace
}  // namespace zembrol::test
