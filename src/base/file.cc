#include "base/file.h"

#include <sys/stat.h>

namespace zembrol {

bool SameFile(const char* a, const char* b) {
  struct stat first;
  struct stat second;
  if (stat(a, &first) != 0 || stat(b, &second) != 0) return std::strcmp(a, b) == 0;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace zembrol
