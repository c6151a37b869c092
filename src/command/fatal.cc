#include "command/fatal.h"

#include <cstdlib>

namespace zembrol {

void EndProgram(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(status);
}

void Fatal(std::FILE* stream, int status, const char* line) {
  std::fputs(line, stream);
  std::fputc('\n', stream);
  EndProgram(status);
}

}  // namespace zembrol
