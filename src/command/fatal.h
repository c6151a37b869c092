// The one way the program ends: standard output is flushed, then the process
// exits with the given status. Open files and the PCM are not closed first.
#pragma once

#include <cstdio>

namespace zembrol {

// Ends the program with `status` after flushing standard output and error.
[[noreturn]] void EndProgram(int status);

// Prints `line` and a newline on `stream`, then ends the program with `status`.
[[noreturn]] void Fatal(std::FILE* stream, int status, const char* line);

}  // namespace zembrol
