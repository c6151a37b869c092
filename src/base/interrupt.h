// While an InterruptionGuard lives, SIGINT, SIGTERM and SIGHUP do not end the
// program: they are noted, and the writer asks for them between blocks so that
// it can leave its file whole before it ends. Outside a guard every signal has
// the disposition the program started with.
#pragma once

#include <signal.h>

namespace zembrol {

class InterruptionGuard {
 public:
  // Catches the three signals, except those the program was started ignoring.
  InterruptionGuard();
  // Restores the dispositions found at construction and forgets a noted signal.
  ~InterruptionGuard();
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;

 private:
  struct sigaction saved_[3] = {};
};

// Returns the number of the first signal noted since the guard was made, or 0.
int Interruption();

}  // namespace zembrol
