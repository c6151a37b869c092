// Feeds arbitrary bytes to the settings-file reader: every text field must
// stay zero-terminated within its buffer, whatever the file holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "command/settings.h"

namespace {

template <size_t N>
void CheckTerminated(const char (&field)[N]) {
  if (std::memchr(field, '\0', N) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zembrol::Settings settings;
  zembrol::ParseSettingsText(std::string_view(reinterpret_cast<const char*>(data), size), settings);
  CheckTerminated(settings.device);
  CheckTerminated(settings.save);
  CheckTerminated(settings.map);
  // What is written back must read back as the same settings.
  const std::string text = zembrol::FormatSettings(settings);
  zembrol::Settings again;
  zembrol::ParseSettingsText(text, again);
  if (zembrol::FormatSettings(again) != text) std::abort();
  return 0;
}
