#include "base/interrupt.h"

#include <csignal>

namespace zembrol {
namespace {

constexpr int kCaught[] = {SIGINT, SIGTERM, SIGHUP};

// The one piece of state a signal handler can share with the program.
volatile std::sig_atomic_t noted = 0;

extern "C" void Note(int signal) {
  if (noted == 0) noted = signal;
}

}  // namespace

InterruptionGuard::InterruptionGuard() {
  noted = 0;
  struct sigaction action = {};
  action.sa_handler = Note;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // a write in progress finishes
  for (int i = 0; i < 3; ++i) {
    sigaction(kCaught[i], nullptr, &saved_[i]);
    if (saved_[i].sa_handler != SIG_IGN) sigaction(kCaught[i], &action, nullptr);
  }
}

InterruptionGuard::~InterruptionGuard() {
  for (int i = 0; i < 3; ++i) sigaction(kCaught[i], &saved_[i], nullptr);
  noted = 0;
}

int Interruption() { return noted; }

}  // namespace zembrol
