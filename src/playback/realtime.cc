#include "playback/realtime.h"

#include <sched.h>
#include <sys/mman.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

namespace zembrol {
namespace {

constexpr int kPriority = 20;
constexpr int kNice = -15;
// The longest a real-time thread may run without blocking before SIGXCPU: a
// play blocks every period; ten minutes on an unpaced device take 4 ms.
constexpr rlim_t kRtTimeGuard = 1000000;  // microseconds
// What RealtimeKit demands at most of the hard RLIMIT_RTTIME by default.
constexpr int64_t kRealtimeKitRtTime = 200000;  // microseconds

constexpr char kService[] = "org.freedesktop.RealtimeKit1";
constexpr char kObject[] = "/org/freedesktop/RealtimeKit1";

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;

// A private connection to the system bus, or none.
Bus OpenSystemBus() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return nullptr;
  Bus owned(bus);
  sd_bus_set_method_call_timeout(bus, 2000000);  // a hung service does not hold the play
  return owned;
}

// RealtimeKit's property `name` of D-Bus type `type`; nullopt when it does not
// answer.
template <class T>
std::optional<T> Property(sd_bus* bus, const char* name, char type) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  T value{};
  const int result =
      sd_bus_get_property_trivial(bus, kService, kObject, kService, name, &error, type, &value);
  sd_bus_error_free(&error);
  if (result < 0) return std::nullopt;
  return value;
}

// Calls RealtimeKit's `method` for the calling thread; true when it answered
// with a grant in time.
template <class T>
bool AskRealtimeKit(sd_bus* bus, const char* method, const char* signature, T value) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int result = sd_bus_call_method(bus, kService, kObject, kService, method, &error, &reply,
                                        signature, static_cast<uint64_t>(gettid()), value);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return result >= 0;
}

// Reads the calling thread's policy (as sched_getscheduler gives it, with
// SCHED_RESET_ON_FORK), priority and nice value; false when it can't.
bool ReadScheduling(int& policy, int& priority, int& nice) {
  sched_param param{};
  policy = sched_getscheduler(0);
  if (policy < 0 || sched_getparam(0, &param) != 0) return false;
  priority = param.sched_priority;
  errno = 0;
  nice = getpriority(PRIO_PROCESS, 0);
  return errno == 0;
}

bool SetFifo(int priority) {
  sched_param param{};
  param.sched_priority = priority;
  return sched_setscheduler(0, SCHED_FIFO, &param) == 0;
}

// SCHED_FIFO at kPriority, or at the soft RLIMIT_RTPRIO when that is lower and
// the thread lacks CAP_SYS_NICE.
bool DirectFifo() {
  if (SetFifo(kPriority)) return true;
  rlimit limit{};
  return getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur >= 1 &&
         limit.rlim_cur < kPriority && SetFifo(static_cast<int>(limit.rlim_cur));
}

// A nice value of kNice, or the lowest the soft RLIMIT_NICE allows (20 - r)
// when that lies between kNice and `current`.
bool DirectNice(int current) {
  if (setpriority(PRIO_PROCESS, 0, kNice) == 0) return true;
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) != 0) return false;
  const int lowest = 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40));
  return lowest > kNice && lowest < current && setpriority(PRIO_PROCESS, 0, lowest) == 0;
}

}  // namespace

RealtimeScheduling::RealtimeScheduling() {
  if (!ReadScheduling(policy_, priority_, nice_) || getrlimit(RLIMIT_RTTIME, &rtTime_) != 0) return;
  found_ = true;
  const int policy = policy_ & ~SCHED_RESET_ON_FORK;
  if (policy == SCHED_FIFO || policy == SCHED_RR) return;

  // The guard comes first: a real-time thread never runs without it.
  rlimit guard = rtTime_;
  guard.rlim_cur = std::min({guard.rlim_cur, guard.rlim_max, kRtTimeGuard});
  rtTimeChanged_ = setrlimit(RLIMIT_RTTIME, &guard) == 0;
  policyChanged_ = DirectFifo();
  if (policyChanged_) return;

  // Where RealtimeKit does not answer for its priority, it is not asked at all.
  const Bus bus = OpenSystemBus();
  const std::optional<int32_t> most =
      bus ? Property<int32_t>(bus.get(), "MaxRealtimePriority", 'i') : std::nullopt;
  if (most && *most >= 1) {
    // RealtimeKit refuses a thread whose hard RLIMIT_RTTIME exceeds its maximum.
    const int64_t mostTime =
        Property<int64_t>(bus.get(), "RTTimeUSecMax", 'x').value_or(kRealtimeKitRtTime);
    rlimit demanded = rtTime_;
    demanded.rlim_max =
        std::min(demanded.rlim_max,
                 static_cast<rlim_t>(std::clamp<int64_t>(mostTime, 1, kRealtimeKitRtTime)));
    demanded.rlim_cur = std::min(demanded.rlim_cur, demanded.rlim_max);
    if (setrlimit(RLIMIT_RTTIME, &demanded) == 0) {
      rtTimeChanged_ = true;
      policyChanged_ = AskRealtimeKit(bus.get(), "MakeThreadRealtime", "tu",
                                      static_cast<uint32_t>(std::min(*most, kPriority)));
      ReadBack();  // a grant answered too late is in force all the same
      if (policyChanged_) return;
    }
  }
  if (nice_ <= kNice) return;
  niceChanged_ = DirectNice(nice_);
  if (niceChanged_ || !most) return;
  const int32_t least = Property<int32_t>(bus.get(), "MinNiceLevel", 'i').value_or(kNice);
  if (least < nice_)
    niceChanged_ = AskRealtimeKit(bus.get(), "MakeThreadHighPriority", "ti",
                                  static_cast<int32_t>(std::max(least, kNice)));
}

void RealtimeScheduling::ReadBack() {
  int policy = 0;
  int priority = 0;
  int nice = 0;
  if (!found_ || !ReadScheduling(policy, priority, nice)) return;
  policyChanged_ = policyChanged_ || policy != policy_ || priority != priority_;
  niceChanged_ = niceChanged_ || nice != nice_;
}

RealtimeScheduling::~RealtimeScheduling() {
  ReadBack();  // also what the last request left without reporting it
  if (policyChanged_) {
    sched_param param{};
    param.sched_priority = priority_;
    // RealtimeKit sets SCHED_RESET_ON_FORK, which only a privileged thread clears.
    if (sched_setscheduler(0, policy_, &param) != 0)
      sched_setscheduler(0, policy_ | SCHED_RESET_ON_FORK, &param);
  }
  if (niceChanged_) setpriority(PRIO_PROCESS, 0, nice_);
  if (rtTimeChanged_ && setrlimit(RLIMIT_RTTIME, &rtTime_) != 0) {
    // A lowered hard limit cannot be raised again: the soft one goes back below it.
    rlimit now{};
    if (getrlimit(RLIMIT_RTTIME, &now) == 0) {
      now.rlim_cur = std::min(rtTime_.rlim_cur, now.rlim_max);
      setrlimit(RLIMIT_RTTIME, &now);
    }
  }
}

MemoryLock::MemoryLock(std::span<const uint8_t> bytes) {
  rlimit limit{};
  if (bytes.empty() || getrlimit(RLIMIT_MEMLOCK, &limit) != 0 || bytes.size() > limit.rlim_cur)
    return;
  if (mlock(bytes.data(), bytes.size()) == 0) locked_ = bytes;
}

MemoryLock::~MemoryLock() {
  if (!locked_.empty()) munlock(locked_.data(), locked_.size());
}

}  // namespace zembrol
