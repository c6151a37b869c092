// The command line: "--help" (or "-h") and "--version" answer on standard
// output and end the program with status 0, anything else is refused on
// standard error with status 2; without arguments the program runs as usual.
// No answer reads standard input or touches a file.
#pragma once

namespace zembrol {

// Returns when there are no arguments; otherwise answers them and ends the
// program (EndProgram).
void AnswerArguments(int argc, const char* const* argv);

}  // namespace zembrol
