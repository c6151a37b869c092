#include "base/place.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

namespace zembrol {
namespace {

// The kernel's own limit on links followed in one lookup.
constexpr int kMostLinks = 40;

struct Parts {
  std::string dir;   // the directory to open
  std::string name;  // the last name
};

Parts Split(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(path)};
  return {std::string(slash == 0 ? path.substr(0, 1) : path.substr(0, slash)),
          std::string(path.substr(slash + 1))};
}

// Opens the directory `path` (relative to `at`), also one the user may only
// search, whose descriptor then serves lookups but no sync.
Fd OpenDirectory(int at, const char* path) {
  Fd dir(openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir && errno == EACCES) dir = Fd(openat(at, path, O_PATH | O_DIRECTORY | O_CLOEXEC));
  return dir;
}

}  // namespace

Found FindPlace(const char* path, Place& place) {
  Parts parts = Split(path);
  place.name = std::move(parts.name);
  place.dir = OpenDirectory(AT_FDCWD, parts.dir.c_str());
  if (!place.dir) return Found::kFailed;
  for (int links = 0; links < kMostLinks; ++links) {
    // The link itself is opened, so that its owner and its text are read
    // from one inode however the name changes meanwhile.
    const Fd link(openat(place.dir.get(), place.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!link) return errno == ENOENT ? Found::kPlace : Found::kFailed;
    struct stat info;
    struct stat dirInfo;
    if (fstat(link.get(), &info) != 0 || fstat(place.dir.get(), &dirInfo) != 0)
      return Found::kFailed;
    if (!S_ISLNK(info.st_mode)) return Found::kPlace;
    if (info.st_uid != geteuid() && info.st_uid != dirInfo.st_uid) return Found::kForeignLink;
    char text[PATH_MAX];
    const ssize_t n = readlinkat(link.get(), "", text, sizeof text);
    if (n < 0) return Found::kFailed;
    if (static_cast<size_t>(n) == sizeof text) {
      errno = ENAMETOOLONG;
      return Found::kFailed;
    }
    parts = Split(std::string_view(text, static_cast<size_t>(n)));
    place.name = std::move(parts.name);
    if (parts.dir != ".") {
      Fd next = OpenDirectory(place.dir.get(), parts.dir.c_str());
      if (!next) return Found::kFailed;
      place.dir = std::move(next);
    }
  }
  errno = ELOOP;
  return Found::kFailed;
}

Found OpenPlace(const char* path, int flags, Place& place, Fd& fd) {
  for (int tries = 0; tries < kMostLinks; ++tries) {
    const Found found = FindPlace(path, place);
    if (found != Found::kPlace) return found;
    const int opened =
        openat(place.dir.get(), place.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (opened >= 0) {
      fd = Fd(opened);
      return Found::kPlace;
    }
    // ELOOP: a link was put in the file's place after it was found.
    if (errno != ELOOP) return Found::kFailed;
  }
  return Found::kFailed;
}

bool StillNamed(int dir, const std::string& name, int fd) {
  struct stat opened;
  struct stat named;
  return fstat(fd, &opened) == 0 && fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace zembrol
