#include "base/interrupt.h"

#include <csignal>

namespace zembrol {
namespace {

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
  action.sa_flags = 0;  // no SA_RESTART: a blocked open or write gives up
  for (size_t i = 0; i < std::size(kStopSignals); ++i) {
    sigaction(kStopSignals[i], nullptr, &saved_[i]);
    if (saved_[i].sa_handler != SIG_IGN) sigaction(kStopSignals[i], &action, nullptr);
  }
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, &savedFileSize_);
}

InterruptionGuard::~InterruptionGuard() {
  sigaction(SIGXFSZ, &savedFileSize_, nullptr);
  for (size_t i = 0; i < std::size(kStopSignals); ++i)
    sigaction(kStopSignals[i], &saved_[i], nullptr);
  noted = 0;
}

int Interruption() { return noted; }

}  // namespace zembrol
