#include "command/settings.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "base/fatal.h"
#include "base/interrupt.h"
#include "base/numbers.h"
#include "base/place.h"
#include "base/replace.h"

namespace zembrol {
namespace {

bool IsKeyEnd(char c) { return c == '\t' || c == ' ' || c == '\n'; }

// strtol in base 10, clamped to the signed 32-bit range.
int32_t ToInt32(const std::string& value) {
  return static_cast<int32_t>(ReadClampedInteger(value.c_str(), 10, INT32_MIN, INT32_MAX).value);
}

// As ToInt32 (a negative rate wraps to its unsigned value), but 2^31 to
// 2^32 - 1 are taken as they are and larger rates clamp to 2^32 - 1.
uint32_t ToRate(const std::string& value) {
  return static_cast<uint32_t>(ReadClampedInteger(value.c_str(), 10, INT32_MIN, UINT32_MAX).value);
}

float ToFloat(const std::string& value) {
  return NarrowToFloat(std::strtod(value.c_str(), nullptr));
}

void Store(std::string_view key, const std::string& value, Settings& s) {
  if (key == "rate") {
    s.rate = ToRate(value);
  } else if (key == "bits") {
    s.bits = ToInt32(value);
  } else if (key == "meter") {
    s.meter = ToInt32(value);
  } else if (key == "meas") {
    s.meas = ToInt32(value);
  } else if (key == "tempo") {
    s.tempo = ToFloat(value);
  } else if (key == "Hz") {
    s.Hz = ToFloat(value);
  } else if (key == "atime") {
    s.atime = ToFloat(value);
  } else if (key == "device") {
    StoreText(s.device, value);
  } else if (key == "save") {
    StoreText(s.save, value);
  } else if (key == "map") {
    StoreText(s.map, value);
  }
}

bool IsKey(std::string_view token) {
  static constexpr std::string_view kKeys[] = {"rate",  "device", "bits", "tempo", "Hz",
                                               "atime", "meter",  "meas", "save",  "map"};
  return std::any_of(std::begin(kKeys), std::end(kKeys),
                     [&](std::string_view key) { return token == key; });
}

void AppendF(std::string& out, const char* format, auto... args) {
  char line[256];
  int n = std::snprintf(line, sizeof line, format, args...);
  if (n > 0) out.append(line, std::min<size_t>(static_cast<size_t>(n), sizeof line - 1));
}

}  // namespace

void ParseSettingsText(std::string_view text, Settings& settings) {
  text = text.substr(0, text.find('\0'));
  size_t pos = 0;
  const size_t end = text.size();
  while (true) {
    while (pos < end && IsKeyEnd(text[pos])) ++pos;
    if (pos == end) return;
    size_t start = pos;
    while (pos < end && !IsKeyEnd(text[pos])) ++pos;
    std::string_view token = text.substr(start, pos - start);
    if (pos < end) ++pos;  // the character that ended the token
    if (!IsKey(token)) continue;

    // The value is the rest of the line, or the next line that is not empty.
    while (pos < end && text[pos] == '\n') ++pos;
    if (pos == end) return;  // a key with no value keeps its field
    size_t newline = text.find('\n', pos);
    if (newline == std::string_view::npos) newline = end;
    Store(token, std::string(text.substr(pos, newline - pos)), settings);
    pos = newline == end ? end : newline + 1;
  }
}

void GET_PARAMS(File file, Settings& settings) {
  std::string text;
  ReadText(file.get(), text);  // a read error leaves what was read
  file.Close();
  ParseSettingsText(text, settings);
}

std::string FormatSettings(const Settings& s) {
  std::string out;
  AppendF(out, "rate\t%i\n", static_cast<int>(s.rate));
  AppendF(out, "device\t%s\n", s.device);
  AppendF(out, "bits\t%i\n", s.bits);
  AppendF(out, "tempo\t%.2f\n", static_cast<double>(s.tempo));
  AppendF(out, "Hz\t%.2f\n", static_cast<double>(s.Hz));
  AppendF(out, "atime\t%.1f\n", static_cast<double>(s.atime));
  AppendF(out, "meter\t%i\n", s.meter);
  AppendF(out, "meas\t%i\n", s.meas);
  AppendF(out, "save\t%s\n", s.save);
  AppendF(out, "map\t%s\n", s.map);
  return out;
}

namespace {

struct SaveResult {
  bool saved = false;
  bool kept = false;  // a file was there, and the failure left it as it was
  int error = 0;      // errno of the step that failed
};

// The mode fopen gives a file it creates.
mode_t CreatedMode() {
  const mode_t mask = umask(0);  // umask can only be read by setting it
  umask(mask);
  return 0666 & ~mask;
}

// Writes all of `text` to `fd` at `offset`; returns 0 or the errno.
int WriteText(int fd, const std::string& text, off_t offset = 0) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n =
        pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return n == 0 ? EIO : errno;
    }
  }
  return 0;
}

// Replaces the file at `place` (the regular file `old`, or -1 when there is
// none) by a side file renamed over it. Returns kept with error 0 when the new
// file could not carry what the old one has.
SaveResult SaveBeside(const Place& place, int old, const std::string& text) {
  SideFile side;
  int error = OpenSideFile(place, side);
  if (error != 0) return {false, old >= 0, error};
  error = WriteText(side.fd.get(), text);
  if (error == 0 && Interruption() == 0) {
    if (old >= 0 ? !CarryOver(old, side.fd.get()) : fchmod(side.fd.get(), CreatedMode()) != 0) {
      DropSideFile(side);
      return {false, true, 0};
    }
    error = CommitSideFile(side);
    if (error == 0) return {true};
  }
  DropSideFile(side);
  return {false, old >= 0, error};
}

// Writes the ten lines over the regular file `old` (found as `info`) and cuts
// it after them, for a file that a new one can't replace. A failed write puts
// the old bytes back; a power cut may leave the file torn.
SaveResult SaveInPlace(const Place& place, const struct stat& info, const std::string& text) {
  const Fd fd(openat(place.dir.get(), place.name.c_str(),
                     O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat now;
  if (!fd || fstat(fd.get(), &now) != 0) return {false, true, errno};
  if (now.st_dev != info.st_dev || now.st_ino != info.st_ino) return {false, true, EBUSY};
  std::string before(text.size(), '\0');
  const ssize_t read = pread(fd.get(), before.data(), before.size(), 0);
  before.resize(read > 0 ? static_cast<size_t>(read) : 0);
  int error = WriteText(fd.get(), text);
  if (error == 0 && ftruncate(fd.get(), static_cast<off_t>(text.size())) != 0) error = errno;
  if (error != 0) {
    WriteText(fd.get(), before);
    ftruncate(fd.get(), info.st_size);  // the old length, where the write went past it
    return {false, true, error};
  }
  if (fsync(fd.get()) != 0) return {false, false, errno};
  return {true};
}

// Saves `text` at `place`: through a side file renamed over the old one where
// the new file can carry all the old one has, else in place. Run under an
// InterruptionGuard; a stop signal noted before the rename leaves the old file.
SaveResult Save(const Place& place, const std::string& text) {
  // What stands there is locked, so that two saves do not cross.
  const Fd old(openat(place.dir.get(), place.name.c_str(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!old && errno != ENOENT) return {false, true, errno};
  struct stat info;
  const bool regular = old && fstat(old.get(), &info) == 0 && S_ISREG(info.st_mode);
  if (regular && flock(old.get(), LOCK_EX | LOCK_NB) != 0) return {false, true, errno};
  if (regular && info.st_nlink != 1) return SaveInPlace(place, info, text);
  const SaveResult beside = SaveBeside(place, regular ? old.get() : -1, text);
  if (!regular || beside.saved || Interruption() != 0) return beside;
  // No side file could be made (a directory the user may not write) or carry it all.
  if (beside.error == 0 || beside.error == EACCES || beside.error == EPERM || beside.error == EROFS)
    return SaveInPlace(place, info, text);
  return beside;
}

}  // namespace

void WriteParams(const Settings& settings) {
  const std::string text = FormatSettings(settings);
  Place place;
  const Found found = FindPlace(kSettingsFile, place);
  if (found == Found::kForeignLink) {
    std::printf("'%s' %s\n", kSettingsFile, kForeignLinkRefusal);
    return;
  }
  SaveResult result{false, false, errno};
  int signal = 0;
  if (found == Found::kPlace) {
    // Lines are printed once the guard is gone: a blocked one would lose them.
    const InterruptionGuard guard;
    result = Save(place, text);
    signal = Interruption();
  }
  if (result.saved) {
    std::puts("Saved Settings");
  } else if (result.error != 0) {
    std::printf("Could not save settings to '%s': %s; %s\n", kSettingsFile,
                std::strerror(result.error),
                result.kept ? "the old settings were kept." : "nothing was saved.");
  }
  if (signal != 0) {
    std::printf("Interrupted: the settings were %s.\n", result.saved ? "saved first" : "not saved");
    EndProgram(128 + signal);
  }
}

}  // namespace zembrol
