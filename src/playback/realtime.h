// A play runs at real-time priority where the system grants it, and the
// thread gets back exactly the scheduling it had when the play ends.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <span>

namespace zembrol {

// While it lives, the thread that made it runs at the first the system grants
// of: SCHED_FIFO 20 (or the lower priority RLIMIT_RTPRIO allows), SCHED_FIFO
// from RealtimeKit on the system bus, a nice value of -15 (or the lowest
// RLIMIT_NICE allows), the same from RealtimeKit; else as before. Threads it
// starts meanwhile inherit that. A thread already at a real-time policy keeps
// it. Before any request the soft RLIMIT_RTTIME drops to 1 s at most.
// Refusals are silent; a grant counts once the thread shows it, also one that
// RealtimeKit answered after the 2 s it is given. Destruction restores each of
// the policy, priority, nice value and RLIMIT_RTTIME that then differs from
// what construction found, whatever the requests answered, as far as the
// kernel lets an unprivileged thread (RealtimeKit needs a lowered hard
// RLIMIT_RTTIME, which stays).
class RealtimeScheduling {
 public:
  RealtimeScheduling();
  ~RealtimeScheduling();
  RealtimeScheduling(const RealtimeScheduling&) = delete;
  RealtimeScheduling& operator=(const RealtimeScheduling&) = delete;

 private:
  // Adds to the changes a request reported those the thread shows now.
  void ReadBack();

  bool found_ = false;  // the scheduling below was read at construction
  int policy_ = 0;      // as sched_getscheduler gives it, with SCHED_RESET_ON_FORK
  int priority_ = 0;
  int nice_ = 0;
  rlimit rtTime_ = {};
  bool policyChanged_ = false;  // reported granted, or read back changed
  bool niceChanged_ = false;    // likewise
  bool rtTimeChanged_ = false;
};

// While it lives, `bytes` stay in memory, when RLIMIT_MEMLOCK allows that many
// (also for a process that could lock more).
class MemoryLock {
 public:
  explicit MemoryLock(std::span<const uint8_t> bytes);
  ~MemoryLock();
  MemoryLock(const MemoryLock&) = delete;
  MemoryLock& operator=(const MemoryLock&) = delete;

 private:
  std::span<const uint8_t> locked_;
};

}  // namespace zembrol
