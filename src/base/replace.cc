#include "base/replace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace zembrol {
namespace {

// Retries a call that a caught signal interrupted.
template <class Call>
int Retried(Call call) {
  int result;
  do result = call();
  while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

int OpenSideFile(const std::string& target, SideFile& side) {
  side.target = target;
  side.path = target + ".zembrol-new";
  while (true) {
    const int fd = open(side.path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    side.fd = Fd(fd);
    // Another run may have renamed the file between the open and the lock:
    // only a side file that still has its name is ours.
    struct stat opened;
    struct stat named;
    int error = Retried([&] { return flock(fd, LOCK_EX | LOCK_NB); });
    if (error == 0 && fstat(fd, &opened) != 0) error = errno;
    if (error == 0 && lstat(side.path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
        named.st_ino == opened.st_ino) {
      error = S_ISREG(opened.st_mode) ? Retried([&] { return ftruncate(fd, 0); }) : EINVAL;
      if (error == 0) return 0;
    }
    side.fd.Close();
    if (error != 0) return error;
  }
}

int CommitSideFile(SideFile& side) {
  if (const int error = Retried([&] { return fsync(side.fd.get()); }); error != 0) return error;
  if (std::rename(side.path.c_str(), side.target.c_str()) != 0) return errno;
  // The lock goes with the descriptor, once the new name is in place.
  side.fd.Close();
  // The rename lasts once the directory is on disk. Once it is made there is
  // no going back, so a directory that can't be synced is left as it is.
  const Fd directory(open(DirectoryOf(side.target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory) Retried([&] { return fsync(directory.get()); });
  return 0;
}

void DropSideFile(SideFile& side) {
  if (side.fd) unlink(side.path.c_str());
  side.fd.Close();
}

}  // namespace zembrol
