#include "command/settings.h"

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

// Where "s" saves: the file that rczembrol.txt names (a symbolic link is
// followed and stays), whether a regular file stands there now, and the
// permission bits the saved file gets.
struct SaveTarget {
  std::string path = kSettingsFile;
  bool exists = false;
  mode_t mode = 0;
};

SaveTarget FindSaveTarget() {
  SaveTarget target;
  if (char* real = realpath(kSettingsFile, nullptr)) {
    target.path = real;
    std::free(real);
  }
  struct stat info;
  target.exists = stat(target.path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  if (target.exists) {
    target.mode = info.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);  // umask can only be read by setting it
    umask(mask);
    target.mode = 0666 & ~mask;  // as fopen creates a file
  }
  return target;
}

struct SaveResult {
  bool saved = false;
  int error = 0;   // errno of the step that failed
  int signal = 0;  // the stop signal noted while saving
};

// Writes `text` to the side file of target.path, gives it target.mode and
// replaces target.path with it. A failure, or a stop signal noted before the
// rename, removes the side file and leaves target.path as it was. Run under an
// InterruptionGuard.
SaveResult Replace(const SaveTarget& target, const std::string& text) {
  SideFile side;
  int error = OpenSideFile(target.path, side);
  if (error == 0 && fchmod(side.fd.get(), target.mode) != 0) error = errno;
  for (size_t done = 0; error == 0 && done < text.size() && Interruption() == 0;) {
    const ssize_t n = write(side.fd.get(), text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      error = n == 0 ? EIO : errno;
    }
  }
  if (error == 0 && Interruption() == 0) {
    error = CommitSideFile(side);
    if (error == 0) return {true};
  }
  DropSideFile(side);
  return {false, error};
}

}  // namespace

void WriteParams(const Settings& settings) {
  const std::string text = FormatSettings(settings);
  const SaveTarget target = FindSaveTarget();
  SaveResult result;
  {
    // Lines are printed once the guard is gone: a blocked one would lose them.
    const InterruptionGuard guard;
    result = Replace(target, text);
    result.signal = Interruption();
  }
  if (result.saved) {
    std::puts("Saved Settings");
  } else if (result.error != 0) {
    std::printf("Could not save settings to '%s': %s; %s\n", kSettingsFile,
                std::strerror(result.error),
                target.exists ? "the old settings were kept." : "nothing was saved.");
  }
  if (result.signal != 0) {
    std::printf("Interrupted: the settings were %s.\n", result.saved ? "saved first" : "not saved");
    EndProgram(128 + result.signal);
  }
}

}  // namespace zembrol
