// The one way the program ends early: standard output and error are flushed
// and a ProgramEnd carrying the exit status is thrown. main catches it and
// returns the status, so every open file and the PCM are closed on the way
// out, and code that drives the command loop in-process can catch it too.
#pragma once

#include <cstdio>

namespace zembrol {

struct ProgramEnd {
  int status = 0;
};

// Flushes standard output and error, then throws ProgramEnd{status}.
[[noreturn]] void EndProgram(int status);

// Prints `line` and a newline on `stream`, then ends the program with `status`.
[[noreturn]] void Fatal(std::FILE* stream, int status, const char* line);

}  // namespace zembrol
