// While an InterruptionGuard lives, a stop signal does not end the program but
// is noted for the writer to ask for, and a file size limit fails a write
// instead of ending the program; outside a guard every signal has the
// disposition the program started with.
#pragma once

#include <signal.h>

#include <iterator>

namespace zembrol {

// The signals that mean "stop now": a noted one ends the program with status
// 128 + its number once the file being written has been left whole.
inline constexpr int kStopSignals[] = {SIGINT, SIGHUP, SIGTERM, SIGQUIT, SIGPIPE};

class InterruptionGuard {
 public:
  // Catches the stop signals, except those the program was started ignoring,
  // without SA_RESTART: a blocked open or write returns with EINTR when one
  // arrives. Ignores SIGXFSZ, so a write past the file size limit fails with
  // EFBIG.
  InterruptionGuard();
  // Restores the dispositions found at construction and forgets a noted signal.
  ~InterruptionGuard();
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;

 private:
  struct sigaction saved_[std::size(kStopSignals)] = {};
  struct sigaction savedFileSize_ = {};
};

// Returns the number of the first signal noted since the guard was made, or 0.
int Interruption();

}  // namespace zembrol
