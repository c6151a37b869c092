// Feeds arbitrary bytes to the tempo-map parser. The text is not
// NUL-terminated, so AddressSanitizer sees any read past its end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tempomap/tempomap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const zembrol::TempoMap map =
      zembrol::ParseTempoMap(std::string_view(reinterpret_cast<const char*>(data), size));
  if (map.count < 0 || map.count > zembrol::TempoMap::kCapacity) std::abort();
  if (map.truncated && map.count != zembrol::TempoMap::kCapacity) std::abort();
  // Every entry needs at least "tmap", a tempo, beats and measures: 10 bytes.
  if (static_cast<size_t>(map.count) > size / 10 + 1) std::abort();
  return 0;
}
