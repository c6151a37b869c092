// Start-up and the command loop: the menu, one word per turn, the command's
// settings step, a fresh click for every recognised command but "x", then the
// command's action.
#pragma once

#include <cstdint>
#include <vector>

#include "click/click.h"
#include "command/input.h"
#include "command/settings.h"

namespace zembrol {

// Everything main keeps for the whole run.
struct Session {
  Settings settings;
  float trackSeconds = 0.0f;
  int bytesPerSample = 3;
  std::vector<uint8_t> silence;  // one packed sample of value 0
  ClickShape shape;
};

// measures x beats x 60 / tempo, as the settings commands compute it.
float TrackSecondsFor(int32_t meas, int32_t meter, float tempo);

// Prints the banner, loads the settings file or asks the start-up questions,
// and prints "ready". May end the program (answer 0: status 2).
void StartUp(Session& session, Input& in);

// Runs turns until the program ends: "x" (status 2), the end of input at a
// command word (status 0), or a fatal error of a command.
[[noreturn]] void RunCommandLoop(Session& session, Input& in);

}  // namespace zembrol
