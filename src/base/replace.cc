#include "base/replace.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace zembrol {
namespace {

constexpr char kSideSuffix[] = ".zembrol-new";
constexpr int kTries = 100;

// Retries a call that a caught signal interrupted.
template <class Call>
int Retried(Call call) {
  int result;
  do result = call();
  while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

int Create(int dir, const std::string& name) {
  return openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// Takes a side file just created under side.name.
int Take(SideFile& side, int fd) {
  side.fd = Fd(fd);
  const int error = Retried([&] { return flock(fd, LOCK_EX | LOCK_NB); });
  if (error != 0) DropSideFile(side);
  return error;
}

enum class Leftover { kGone, kBusy, kNotOurs };

// Removes what stands under `name` when it is a side file that a run of this
// user left: a regular file of the effective user with one link, which no
// running replacement holds. Anything else is left alone.
Leftover RemoveLeftover(int dir, const std::string& name) {
  const Fd fd(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return errno == ENOENT ? Leftover::kGone : Leftover::kNotOurs;
  struct stat info;
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      info.st_nlink != 1)
    return Leftover::kNotOurs;
  if (Retried([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) return Leftover::kBusy;
  if (StillNamed(dir, name, fd.get()) && unlinkat(dir, name.c_str(), 0) != 0)
    return Leftover::kNotOurs;
  return Leftover::kGone;
}

// Creates NAME.zembrol-new.XXXXXX with six random letters and digits.
int CreateUnique(SideFile& side, const std::string& fixed) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int tries = 0; tries < kTries; ++tries) {
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, 0) != sizeof random) return errno == 0 ? EIO : errno;
    side.name = fixed + ".";
    for (const unsigned char r : random) side.name += kLetters[r % (sizeof kLetters - 1)];
    const int fd = Create(side.dir, side.name);
    if (fd >= 0) return Take(side, fd);
    if (errno != EEXIST && errno != EINTR) return errno;
  }
  return EEXIST;
}

using Names = std::vector<std::string>;

// The names of `fd`'s extended attributes; false when they can't be listed.
bool ListAttributes(int fd, Names& names) {
  names.clear();
  ssize_t size;
  std::vector<char> list;
  do {
    size = flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;  // a file system without any
    list.resize(static_cast<size_t>(size));
    size = size == 0 ? 0 : flistxattr(fd, list.data(), list.size());
  } while (size < 0 && errno == ERANGE);
  if (size < 0) return false;
  for (size_t at = 0; at < static_cast<size_t>(size);) {
    names.emplace_back(list.data() + at);
    at += names.back().size() + 1;
  }
  return true;
}

bool ReadAttribute(int fd, const std::string& name, std::vector<char>& value) {
  ssize_t size;
  do {
    size = fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<size_t>(size));
    size = size == 0 ? 0 : fgetxattr(fd, name.c_str(), value.data(), value.size());
  } while (size < 0 && errno == ERANGE);
  if (size >= 0) value.resize(static_cast<size_t>(size));
  return size >= 0;
}

// Gives `to` exactly the extended attributes of `from` that differ.
bool CarryAttributes(int from, int to) {
  Names had;
  Names has;
  if (!ListAttributes(from, had) || !ListAttributes(to, has)) return false;
  for (const std::string& name : has) {
    if (std::find(had.begin(), had.end(), name) == had.end() && fremovexattr(to, name.c_str()) != 0)
      return false;
  }
  std::vector<char> value;
  std::vector<char> present;
  for (const std::string& name : had) {
    if (!ReadAttribute(from, name, value)) return false;
    if (ReadAttribute(to, name, present) && present == value) continue;
    if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) return false;
  }
  return true;
}

// Gives `to` the inode flags of `from` (chattr's), where the file system has them.
bool CarryFlags(int from, int to) {
  int had = 0;
  int has = 0;
  // A file system (or an emulator) that does not answer has no flags to keep.
  if (ioctl(from, FS_IOC_GETFLAGS, &had) != 0)
    return errno == ENOTTY || errno == ENOTSUP || errno == ENOSYS || errno == EINVAL;
  if (ioctl(to, FS_IOC_GETFLAGS, &has) != 0) return false;
  if (has == had) return true;
  return ioctl(to, FS_IOC_SETFLAGS, &had) == 0 && ioctl(to, FS_IOC_GETFLAGS, &has) == 0 &&
         has == had;
}

}  // namespace

int OpenSideFile(const Place& place, SideFile& side) {
  side.dir = place.dir.get();
  side.target = place.name;
  const std::string fixed = place.name + kSideSuffix;
  for (int tries = 0; tries < kTries; ++tries) {
    side.name = fixed;
    const int fd = Create(side.dir, fixed);
    if (fd >= 0) return Take(side, fd);
    if (errno == EINTR) continue;
    if (errno != EEXIST) return errno;
    switch (RemoveLeftover(side.dir, fixed)) {
      case Leftover::kGone:
        continue;
      case Leftover::kBusy:
        return EWOULDBLOCK;
      case Leftover::kNotOurs:
        return CreateUnique(side, fixed);
    }
  }
  return CreateUnique(side, fixed);
}

int CommitSideFile(SideFile& side) {
  if (const int error = Retried([&] { return fsync(side.fd.get()); }); error != 0) return error;
  if (renameat(side.dir, side.name.c_str(), side.dir, side.target.c_str()) != 0) return errno;
  // The lock goes with the descriptor, once the new name is in place.
  side.fd.Close();
  // The rename lasts once the directory is on disk. Once it is made there is
  // no going back, so a directory that can't be synced is left as it is.
  Retried([&] { return fsync(side.dir); });
  return 0;
}

void DropSideFile(SideFile& side) {
  if (side.fd && StillNamed(side.dir, side.name, side.fd.get()))
    unlinkat(side.dir, side.name.c_str(), 0);
  side.fd.Close();
}

bool CarryOver(int from, int to) {
  struct stat had;
  struct stat has;
  // The owner goes first, since a change of owner clears the set-id bits.
  if (fstat(from, &had) != 0 || fchown(to, had.st_uid, had.st_gid) != 0 ||
      fchmod(to, had.st_mode & 07777) != 0 || !CarryAttributes(from, to) || !CarryFlags(from, to))
    return false;
  // An access ACL sets the group bits; what counts is that all came out the same.
  return fstat(to, &has) == 0 && has.st_uid == had.st_uid && has.st_gid == had.st_gid &&
         (has.st_mode & 07777) == (had.st_mode & 07777);
}

}  // namespace zembrol
