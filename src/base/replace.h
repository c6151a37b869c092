// A file is replaced whole or not at all, and only by a file that carries all
// it had: its new contents go to a side file beside it, NAME.zembrol-new, made
// afresh and locked while it is written, given the old file's owner, mode,
// extended attributes and flags, synced, renamed over NAME, and the rename is
// made to last by syncing the directory. A run that was killed leaves at most
// that one side file, which the next replacement takes over; where anything
// else stands under that name, a side file with a unique name is used.
#pragma once

#include <string>

#include "base/file.h"
#include "base/place.h"

namespace zembrol {

struct SideFile {
  Fd fd;
  int dir = -1;        // the directory's descriptor, which the Place owns
  std::string name;    // NAME.zembrol-new, or NAME.zembrol-new.XXXXXX
  std::string target;  // NAME
};

// Creates an empty, locked side file of mode 0600 for the file at `place`.
// Returns 0, or the errno of the step that failed (EWOULDBLOCK: another run
// holds it).
int OpenSideFile(const Place& place, SideFile& side);

// Syncs the side file, renames it over its target and syncs the directory.
// Returns 0, or the errno of the step that failed; the side file then stays.
int CommitSideFile(SideFile& side);

// Removes and closes the side file.
void DropSideFile(SideFile& side);

// Gives `to` the owner, group, mode, extended attributes and inode flags of
// `from`. Returns false when any of them could not be given.
bool CarryOver(int from, int to);

}  // namespace zembrol
