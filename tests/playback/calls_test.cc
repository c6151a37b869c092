// The program's libasound calls one by one. zembrol_recorded is the program
// linked with tests/alsa_recorder, which logs every snd_pcm_* call with its
// arguments and result and can make chosen calls fail; it plays on the
// capturing `cap` and `capn` PCMs of capture.h. Its scheduling log shows a
// play at SCHED_FIFO 20 where it is granted (root's CAP_SYS_NICE, or a
// RealtimeKit stand-in for uid 65534, also one that answers too late), else at
// nice -15 where the stand-in grants that, and as before where it is refused.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "e2e.h"
#include "sha256.h"

namespace zembrol::test {
namespace {

using Lines = std::vector<std::string>;

Lines SplitLines(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct Recorded {
  RunResult result;
  Lines calls;
  Lines scheduling;  // the recorder's ALSA_RECORDER_SCHED log
};

// Runs zembrol_recorded on `device` with `input` (as `user` in a directory
// open to all); `env` adds recorder settings.
Recorded RunRecorded(const Device& device, const std::string& input,
                     std::map<std::string, std::string> env = {}, const std::string& map = "",
                     std::optional<uid_t> user = std::nullopt) {
  TempDir work;
  std::filesystem::permissions(work.path(), std::filesystem::perms::all);
  if (!map.empty()) WriteFile(work / "tmap.txt", map);
  env.insert(device.env().begin(), device.env().end());
  env["ALSA_RECORDER_LOG"] = (work / "calls.log").string();
  env["ALSA_RECORDER_SCHED"] = (work / "sched.log").string();
  // Another user may not reach the build tree (a package build's is private).
  const std::filesystem::path binary = work / "zembrol_recorded";
  std::filesystem::copy_file(ZEMBROL_RECORDED_BINARY, binary);
  const RunOptions options{.env = env, .binary = binary.c_str(), .user = user};
  Recorded recorded{RunZembrol(work.path(), input, options), {}, {}};
  recorded.calls = SplitLines(ReadFile(work / "calls.log"));
  recorded.scheduling = SplitLines(ReadFile(work / "sched.log"));
  return recorded;
}

// One play on one opening of the device, as the design lays it down.
struct Play {
  std::string device;
  std::string format;  // "S16_LE" or "S24_3LE"
  uint32_t rate;
  int writes;                        // periods handed to the device
  uint64_t period = 1024;            // granted by the device
  std::map<int, long> results = {};  // write number (from 1) -> result, where not a full period
};

// The calls of `play` on opening n: open and configure, read back, prepare,
// one write of the granted period per period (each -EPIPE followed by one
// prepare), drain and close.
Lines Calls(const Play& play, int n = 1) {
  const std::string pcm = "pcm" + std::to_string(n);
  const std::string hw = "hw" + std::to_string(n);
  const std::string on = "(" + pcm + ", " + hw + ", ";
  const std::string sizeOf =
      "snd_pcm_hw_params_sizeof() = " + std::to_string(snd_pcm_hw_params_sizeof());
  const std::string period = std::to_string(play.period);
  const std::string rate = std::to_string(play.rate);
  Lines calls = {
      "snd_pcm_open(&" + pcm + ", \"" + play.device + "\", PLAYBACK, 0) = 0",
      sizeOf,
      sizeOf,
      "snd_pcm_hw_params_any(" + pcm + ", " + hw + ") = 0",
      "snd_pcm_hw_params_set_access" + on + "RW_INTERLEAVED) = 0",
      "snd_pcm_hw_params_set_format" + on + play.format + ") = 0",
      "snd_pcm_hw_params_set_channels" + on + "1) = 0",
      "snd_pcm_hw_params_set_rate_near" + on + "&" + rate + " -> " + rate + ", NULL) = 0",
      "snd_pcm_hw_params_set_period_size_near" + on + "&1024 -> " + period + ", NULL) = 0",
      "snd_pcm_hw_params_set_buffer_size_near" + on + "&2048 -> 2048) = 0",
      "snd_pcm_hw_params(" + pcm + ", " + hw + ") = 0",
      "snd_pcm_hw_params_get_buffer_size(" + hw + ", &2048) = 0",
      "snd_pcm_hw_params_get_period_time(" + hw + ", &" +
          std::to_string(play.period * 1000000 / play.rate) + ", NULL) = 0",
      "snd_pcm_hw_params_get_period_size(" + hw + ", &" + period + ", NULL) = 0",
      "snd_pcm_prepare(" + pcm + ") = 0",
  };
  for (int k = 1; k <= play.writes; ++k) {
    const auto found = play.results.find(k);
    const long result =
        found == play.results.end() ? static_cast<long>(play.period) : found->second;
    calls.push_back("snd_pcm_writei(" + pcm + ", " + period + ") = " + std::to_string(result));
    if (result == -32) calls.push_back("snd_pcm_prepare(" + pcm + ") = 0");
  }
  calls.push_back("snd_pcm_drain(" + pcm + ") = 0");
  calls.push_back("snd_pcm_close(" + pcm + ") = 0");
  return calls;
}

Lines Calls(const std::vector<Play>& plays) {
  Lines calls;
  for (size_t i = 0; i < plays.size(); ++i) {
    const Lines one = Calls(plays[i], static_cast<int>(i + 1));
    calls.insert(calls.end(), one.begin(), one.end());
  }
  return calls;
}

TEST(PcmCalls, EveryPlayOpensConfiguresWritesPeriodsDrainsAndCloses) {
  const struct {
    const char* name;
    std::string input;
    std::string map;
    std::vector<Play> plays;
  } cases[] = {
      // 441000 samples: 430 periods.
      {"a, defaults", "1 2\no cap\na\n", "", {{"cap", "S24_3LE", 44100, 430}}},
      // 480000 samples: 468 periods.
      {"a, 48000 Hz 16 bits", "2 1\no cap\nt 128\na\n", "", {{"cap", "S16_LE", 48000, 468}}},
      // 44100 samples: 43 periods.
      {"a, 88200 Hz 0.5 s", "3 1\no cap\nal 0.5\na\n", "", {{"cap", "S16_LE", 88200, 43}}},
      {"a, 0 s", "1 2\no cap\nal 0\na\n", "", {{"cap", "S24_3LE", 44100, 0}}},
      // 62999, 0 and 96218 samples: 61, 0 and 93 periods, each section on its own opening.
      {"ptm",
       "1 2\no capn\nptm\n",
       "tmap\t84\t2\t1\ntmap\t120\t4\t0\ntmap\t110\t4\t1\n",
       {{"capn", "S24_3LE", 44100, 61},
        {"capn", "S24_3LE", 44100, 0},
        {"capn", "S24_3LE", 44100, 93}}},
      // 48000 samples: 46 periods.
      {"ptm, 96000 Hz 16 bits",
       "4 1\no capn\nptm\n",
       "tmap\t120\t1\t1\n",
       {{"capn", "S16_LE", 96000, 46}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    const Recorded r = RunRecorded(device, c.input, {}, c.map);
    EXPECT_EQ(r.result.status, 0);
    EXPECT_EQ(r.result.err, "");
    EXPECT_EQ(r.calls, Calls(c.plays));
  }
}

// The calls of `play` up to the one that starts with `failing`, which gives
// `code`; then the handle is closed as the program ends.
Lines FailingAt(const Lines& play, const std::string& failing, int code) {
  Lines calls;
  for (const std::string& call : play) {
    if (call.starts_with(failing)) {
      calls.push_back(call.substr(0, call.rfind(" = ")) + " = " + std::to_string(code));
      break;
    }
    calls.push_back(call);
  }
  calls.push_back("snd_pcm_close(pcm1) = 0");
  return calls;
}

TEST(PcmCalls, FailedOpenFormatOrParametersEndWithStatusOne) {
  const Lines play = Calls(Play{"cap", "S16_LE", 44100, 0});
  const Lines section1 = Calls(Play{"capn", "S24_3LE", 44100, 61});
  const std::string menu = Menu({.device = "cap"});
  const std::string asked = StartUpAsked() + Menu() + "Enter new playback device name.\n\n";
  const struct {
    std::string faults;
    std::string input;
    Lines calls;
    std::string err;
    std::string out;  // nothing follows the click line
  } cases[] = {
      {"snd_pcm_open=-16",
       "1 1\no cap\na\n",
       {"snd_pcm_open(&?, \"cap\", PLAYBACK, 0) = -16"},
       "unable to open pcm device: Device or resource busy\n",
       asked + menu + "\n"},
      {"snd_pcm_hw_params_set_format=-22", "1 1\no cap\na\n",
       FailingAt(play, "snd_pcm_hw_params_set_format", -22),
       "unable to set playback format: Invalid argument\n", asked + menu + "\n"},
      {"snd_pcm_hw_params=-5", "1 1\no cap\na\n", FailingAt(play, "snd_pcm_hw_params(", -5),
       "unable to set hw parameters: Input/output error\n", asked + menu + "\n"},
      // The second section's opening fails; the first has been played.
      {"snd_pcm_open@2=-2", "1 2\no capn\nptm\n",
       [&] {
         Lines calls = section1;
         calls.push_back("snd_pcm_open(&?, \"capn\", PLAYBACK, 0) = -2");
         return calls;
       }(),
       "unable to open pcm device: No such file or directory\n",
       asked + Menu({.device = "capn"}) + "\nParsing tmap file..\nFound 2 map entries.\n" +
           "\nPlaying section  1 \n\n\tMeasure  1\n\nPlaying section  2 \n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    Device device;
    const Recorded r = RunRecorded(device, c.input, {{"ALSA_RECORDER_FAULTS", c.faults}},
                                   "tmap\t84\t2\t1\ntmap\t110\t4\t1\n");
    EXPECT_EQ(r.result.status, 1);
    EXPECT_EQ(r.result.err, c.err);
    EXPECT_EQ(r.result.out, c.out);
    EXPECT_EQ(r.calls, c.calls);
  }
}

// The capture of "a" at 44100 Hz, 24 bits, 60 Hz, 120 bpm, 1 s: 43 periods
// (44032 frames) of the default click every 22050 frames, measured once with
// sha256sum.
constexpr char kOneSecondCapture[] =
    "bd37abfe64696684b3d971484440664e323f85055ae1e8cb6af5b1b0d92cfa15";
const std::string kOneSecond = "1 2\no cap\nal 1\na\n";

// `capture` without the frames [from, to).
std::string Without(const std::string& capture, int64_t from, int64_t to) {
  return capture.substr(0, from * 3) + capture.substr(to * 3);
}

TEST(PcmCalls, FailedAndShortWritesAreNotRepeatedAndOnlyAnUnderrunPrepares) {
  Device reference;
  const Recorded full = RunRecorded(reference, kOneSecond);
  const std::string golden = ReadFile(reference.capture());
  ASSERT_EQ(Sha256(golden), kOneSecondCapture);
  ASSERT_EQ(full.calls, Calls(Play{"cap", "S24_3LE", 44100, 43}));

  const struct {
    std::string faults;
    std::map<int, long> results;
    std::string capture;
  } cases[] = {
      {"snd_pcm_writei@5=-32", {{5, -32}}, Without(golden, 4096, 5120)},
      {"snd_pcm_writei@1=-32,snd_pcm_writei@43=-32",
       {{1, -32}, {43, -32}},
       Without(golden, 0, 1024).substr(0, 41 * 1024 * 3)},
      {"snd_pcm_writei@2=-5", {{2, -5}}, Without(golden, 1024, 2048)},
      {"snd_pcm_writei@3=500", {{3, 500}}, Without(golden, 2048 + 500, 3072)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    Device device;
    const Recorded r = RunRecorded(device, kOneSecond, {{"ALSA_RECORDER_FAULTS", c.faults}});
    EXPECT_EQ(r.result.status, 0);
    EXPECT_EQ(r.result.out, full.result.out);
    EXPECT_EQ(r.calls, Calls(Play{"cap", "S24_3LE", 44100, 43, 1024, c.results}));
    EXPECT_TRUE(ReadFile(device.capture()) == c.capture);
  }
}

TEST(PcmCalls, EveryWriteIsOneGrantedPeriod) {
  Device reference;
  RunRecorded(reference, kOneSecond);
  const std::string golden = ReadFile(reference.capture());
  ASSERT_EQ(Sha256(golden), kOneSecondCapture);
  const struct {
    uint64_t period;
    int writes;  // whole periods below 44100 frames
  } cases[] = {{941, 46}, {1500, 29}, {600, 73}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.period);
    Device device;
    const Recorded r =
        RunRecorded(device, kOneSecond, {{"ALSA_RECORDER_PERIOD", std::to_string(c.period)}});
    EXPECT_EQ(r.result.status, 0);
    EXPECT_EQ(r.calls, Calls(Play{"cap", "S24_3LE", 44100, c.writes, c.period}));
    EXPECT_TRUE(ReadFile(device.capture()) == golden.substr(0, c.period * c.writes * 3));
  }
}

// AddressSanitizer makes mlock do nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMlockWorks = false;
#elif defined(__has_feature)
constexpr bool kMlockWorks = !__has_feature(address_sanitizer);
#else
constexpr bool kMlockWorks = true;
#endif

// "policy <p> priority <n> nice <n> rttime <us>", as the recorder logs a thread's
// scheduling: by default at the test's nice value and soft RLIMIT_RTTIME, which
// `rtTime` may lower.
std::string Scheduling(int policy, int priority, rlim_t rtTime = RLIM_INFINITY,
                       std::optional<int> nice = std::nullopt) {
  rlimit own{};
  getrlimit(RLIMIT_RTTIME, &own);
  return "policy " + std::to_string(policy) + " priority " + std::to_string(priority) + " nice " +
         std::to_string(nice.value_or(getpriority(PRIO_PROCESS, 0))) + " rttime " +
         std::to_string(std::min(own.rlim_cur, rtTime));
}

TEST(PcmCalls, PlayRunsAtFifo20WhereGrantedAndAsBeforeWhereRefused) {
  // Rows that need a grant are left out where none can be given; rows as uid
  // 65534 run as this process where it can't switch but is as unprivileged.
  const std::string noGrant = Lacking({CAP_SYS_NICE}, "a grant of real-time priority"),
                    noSwitch = Lacking({CAP_SETGID, CAP_SETUID}, "running as uid 65534");
  // The play's RLIMIT_RTTIME guard, and the hard limit RealtimeKit demands, which stays.
  constexpr rlim_t kGuard = 1000000, kKit = 200000;  // microseconds
  // Only a privileged thread clears RealtimeKit's SCHED_RESET_ON_FORK again.
  const std::string fifo = Scheduling(SCHED_FIFO, 20, kGuard), other = Scheduling(SCHED_OTHER, 0),
                    guarded = Scheduling(SCHED_OTHER, 0, kGuard),
                    kitFifo = Scheduling(SCHED_FIFO | SCHED_RESET_ON_FORK, 20, kKit),
                    kitOther = Scheduling(SCHED_OTHER | SCHED_RESET_ON_FORK, 0, kKit),
                    kitRefused = Scheduling(SCHED_OTHER, 0, kKit),
                    kitNice = Scheduling(SCHED_OTHER, 0, kKit, -15);
  const Lines asked = {"MakeThreadRealtime caller 20"},
              askedBoth = {asked[0], "MakeThreadHighPriority caller -15"};
  const struct {
    std::optional<uid_t> user;
    std::string kit;     // tests/playback/realtimekit.py's answer; "": no bus
    std::string during;  // at the opening and every write
    std::string after;   // at the end, after "w"
    Lines kitCalls;
    bool granted;  // by the kernel or the stand-in, which needs CAP_SYS_NICE for it
  } cases[] = {
      {std::nullopt, "", fifo, other, {}, true},
      {65534, "", guarded, other, {}, false},
      {65534, "grant", kitFifo, kitOther, asked, true},
      {65534, "refuse", kitRefused, kitRefused, askedBoth, false},
      // Granted (nice-late: only the nice value), then answered after the program stopped waiting.
      {65534, "late", kitFifo, kitOther, asked, true},
      {65534, "nice-late", kitNice, kitRefused, askedBoth, true},
  };
  std::string out;  // as the first row ran
  // The beat, 66150 bytes, is locked only where RLIMIT_MEMLOCK takes it.
  rlimit memlock{};
  getrlimit(RLIMIT_MEMLOCK, &memlock);
  const bool lockSeen = !kMlockWorks || memlock.rlim_cur >= 66150;
  std::set<std::string> skipped;  // why a row or a check did not run
  if (!lockSeen)
    skipped.insert("no memory lock is checked under an RLIMIT_MEMLOCK of " +
                   std::to_string(memlock.rlim_cur) + " bytes");
  for (const auto& c : cases) {
    std::string why = c.granted ? noGrant : "";
    if (why.empty() && c.user && !noSwitch.empty() && noGrant.empty()) why = noSwitch;
    if (!why.empty()) {
      skipped.insert(why);
      continue;
    }
    const std::optional<uid_t> user = noSwitch.empty() ? c.user : std::nullopt;
    SCOPED_TRACE(c.kit + (c.user ? " uid 65534" : " root"));
    Device device;
    std::filesystem::permissions(device.dir(), std::filesystem::perms::all);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> kit(nullptr, pclose);
    char bus[256] = "unix:path=/nonexistent\n";
    if (!c.kit.empty()) {
      kit.reset(popen(("/usr/bin/python3 " ZEMBROL_SOURCE_DIR "/tests/playback/realtimekit.py " +
                       c.kit + " " + device.dir().string())
                          .c_str(),
                      "r"));
      ASSERT_TRUE(kit && std::fgets(bus, sizeof bus, kit.get()) != nullptr);
    }
    const Recorded r = RunRecorded(device, "1 2\no cap\nal 1\na\nm 1\nw\n",
                                   {{"DBUS_SYSTEM_BUS_ADDRESS", std::strtok(bus, "\n")}}, "", user);
    EXPECT_EQ(r.result.status, 0);
    EXPECT_EQ(r.result.err, "");
    if (out.empty()) out = r.result.out;
    EXPECT_EQ(r.result.out, out);
    EXPECT_EQ(r.calls, Calls(Play{"cap", "S24_3LE", 44100, 43}));
    EXPECT_EQ(Sha256(ReadFile(device.capture())), kOneSecondCapture);
    std::map<std::string, std::set<std::string>> seen;  // call -> scheduling and locked kB
    for (const std::string& line : r.scheduling) {
      const size_t at = line.find(" policy "), lock = line.find(" locked ");
      // The beat, 66150 bytes, takes 17 pages (68 kB) at least.
      const long kB = std::stol(line.substr(lock + 8));
      seen[line.substr(0, at)].insert(lockSeen ? line.substr(at + 1, lock - at + 7) +
                                                     (kB >= 68 ? "68+" : std::to_string(kB))
                                               : line.substr(at + 1, lock - at - 1));
    }
    const std::string playing = c.during + (!lockSeen     ? ""
                                            : kMlockWorks ? " locked 68+"
                                                          : " locked 0");
    EXPECT_EQ(seen["snd_pcm_open"], std::set{playing});
    EXPECT_EQ(seen["snd_pcm_writei"], std::set{playing});
    EXPECT_EQ(seen["exit"], std::set{c.after + (lockSeen ? " locked 0" : "")});
    kit.reset();  // the stand-in ends
    EXPECT_EQ(SplitLines(ReadFile(device.dir() / "kit.log")), c.kitCalls);
  }
  if (!skipped.empty()) GTEST_SKIP() << testing::PrintToString(skipped);
}

// The recorder sees only the calls it wraps: the program must make no other.
TEST(PcmCalls, RecorderWrapsEverySndPcmCallOfTheProgram) {
  std::set<std::string> wrapped;
  std::istringstream names(ZEMBROL_RECORDED_CALLS);
  for (std::string name; names >> name;) wrapped.insert(name);
  const std::string symbols = CommandOutput("nm -u --format=just-symbols '" ZEMBROL_LIBRARY "'");
  int calls = 0;  // none when nm fails
  for (const std::string& symbol : SplitLines(symbols)) {
    if (!symbol.starts_with("snd_pcm_")) continue;
    ++calls;
    EXPECT_TRUE(wrapped.contains(symbol)) << symbol;
  }
  EXPECT_GT(calls, 0);
}

}  // namespace
}  // namespace zembrol::test
