#include <cstdio>

#include "command/loop.h"

int main() {
  zembrol::Session session;
  zembrol::StartUp(session, stdin);
  zembrol::RunCommandLoop(session, stdin);
}
