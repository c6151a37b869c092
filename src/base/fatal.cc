#include "base/fatal.h"

namespace zembrol {

void EndProgram(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  throw ProgramEnd{status};
}

void Fatal(std::FILE* stream, int status, const char* line) {
  std::fputs(line, stream);
  std::fputc('\n', stream);
  EndProgram(status);
}

}  // namespace zembrol
