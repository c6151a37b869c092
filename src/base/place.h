// A file is reached through a descriptor of its directory, and a symbolic link
// on the way to it is followed only when it is the user's own or its
// directory owner's, so that nobody else sharing a directory can redirect a
// write.
#pragma once

#include <string>

#include "base/file.h"

namespace zembrol {

// Where a name leads: the directory that holds the file, open, and the file's
// name in it.
struct Place {
  Fd dir;
  std::string name;
};

enum class Found {
  kPlace,        // the file, or the name to create it under
  kForeignLink,  // a symbolic link of another user's stands in the way
  kFailed,       // errno tells why
};

// What a command says, after the file's name in quotes, when it meets kForeignLink.
inline constexpr char kForeignLinkRefusal[] =
    "is a symbolic link owned by another user; nothing was written.";

// Follows `path` to its place. Directories on the way are the kernel's to
// resolve; a final symbolic link is followed, relative to its own directory,
// when the effective user or the owner of that directory made it.
Found FindPlace(const char* path, Place& place);

// Opens `path` with `flags` (O_NOFOLLOW and O_CLOEXEC added; a file it creates
// gets mode 0666 less the umask) at the place FindPlace finds, and finds it
// again when a link took the name's place in between. kFailed leaves errno as
// the open left it (EINTR: interrupted). Sets `fd` only for kPlace.
Found OpenPlace(const char* path, int flags, Place& place, Fd& fd);

// Returns whether `fd` is still the file that `name` names in the directory `dir`.
bool StillNamed(int dir, const std::string& name, int fd);
inline bool StillNamed(const Place& place, int fd) {
  return StillNamed(place.dir.get(), place.name, fd);
}

}  // namespace zembrol
