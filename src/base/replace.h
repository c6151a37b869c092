// A file is replaced whole or not at all: its new contents go to a side file
// beside it, NAME.zembrol-new, which is locked while it is written, synced,
// renamed over NAME, and the rename is made to last by syncing the directory.
// The side file's name is fixed, so a run that was killed leaves at most one,
// which the next replacement takes over.
#pragma once

#include <string>

#include "base/file.h"

namespace zembrol {

struct SideFile {
  Fd fd;
  std::string path;    // NAME.zembrol-new
  std::string target;  // NAME
};

// Opens `target`'s side file empty and locked. Returns 0, or the errno of the
// step that failed (EWOULDBLOCK: another process holds it).
int OpenSideFile(const std::string& target, SideFile& side);

// Syncs the side file, renames it over its target and syncs the directory.
// Returns 0, or the errno of the step that failed; the side file then stays.
int CommitSideFile(SideFile& side);

// Removes and closes the side file.
void DropSideFile(SideFile& side);

}  // namespace zembrol
