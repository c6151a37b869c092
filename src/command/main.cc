#include <cstdio>

#include "base/fatal.h"
#include "command/loop.h"

int main() {
  try {
    zembrol::Session session;
    zembrol::StartUp(session, stdin);
    zembrol::RunCommandLoop(session, stdin);
  } catch (const zembrol::ProgramEnd& end) {
    std::fflush(stdout);
    return end.status;
  }
}
