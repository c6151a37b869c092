#include <cstdio>

#include "base/fatal.h"
#include "command/arguments.h"
#include "command/loop.h"

int main(int argc, char** argv) {
  try {
    zembrol::AnswerArguments(argc, argv);
    zembrol::Session session;
    zembrol::Input input(stdin);
    zembrol::StartUp(session, input);
    zembrol::RunCommandLoop(session, input);
  } catch (const zembrol::ProgramEnd& end) {
    std::fflush(stdout);
    return end.status;
  }
}
