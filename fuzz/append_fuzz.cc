// Walks arbitrary file bytes as "+" does, for a 24-bit 44100 Hz or 16-bit
// 48000 Hz track as the last byte chooses, and plans the new file. Everything
// the walk reports must lie inside the file, and a file it accepts must come
// out of the plan as a RIFF file whose sizes fit and whose audio is whole
// samples.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "base/samples.h"
#include "wav/riff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool deep = (data[size - 1] & 1) != 0;
  const uint32_t rate = deep ? 44100 : 48000;
  const int32_t bits = deep ? 24 : 16;
  const std::span<const uint8_t> file(data, size - 1);
  const auto length = static_cast<int64_t>(file.size());
  const zembrol::ReadAt read = [&](int64_t offset, std::span<uint8_t> out) -> size_t {
    if (offset < 0) std::abort();
    if (offset >= length) return 0;
    const size_t n = std::min(out.size(), static_cast<size_t>(length - offset));
    std::memcpy(out.data(), file.data() + offset, n);
    return n;
  };
  const zembrol::RiffLayout layout = zembrol::WalkRiff(read, length);
  if (layout.dataOffset < 0) return 0;
  const int64_t dataStart = layout.dataOffset + 8;
  if (dataStart > layout.audioEnd || layout.audioEnd > layout.tailStart ||
      layout.tailStart > length || layout.tailStart - layout.audioEnd > 1 || layout.riffTail < 0 ||
      layout.tailStart + layout.riffTail > length)
    std::abort();
  if (std::memcmp(file.data() + layout.dataOffset, "data", 4) != 0) std::abort();
  for (const int64_t fact : layout.factOffsets) {
    if (fact < 12 || fact + 12 > length || std::memcmp(file.data() + fact, "fact", 4) != 0)
      std::abort();
  }
  if (!zembrol::AppendRefusal(layout, rate, bits).empty()) return 0;
  // Accepted: plan a track of 1001 samples as "+" does. The new file is the
  // old audio, the track, the pad byte and the kept bytes; the RIFF chunk
  // covers all of it but what stood after the old RIFF chunk.
  const int32_t sampleBytes = zembrol::BytesPerSample(bits);
  if ((layout.audioEnd - dataStart) % sampleBytes != 0) std::abort();
  const int64_t added = int64_t{1001} * sampleBytes;
  const zembrol::AppendPlan plan = zembrol::PlanAppend(layout, added);
  const int64_t kept = length - plan.keptFrom;
  const int64_t newLength = layout.audioEnd + added + plan.pad + kept;
  if (plan.keptFrom != layout.tailStart || plan.pad < 0 || plan.pad > 1 ||
      (plan.pad == 1) != (kept > 0 && plan.sizes.data % 2 == 1) ||
      plan.sizes.data != layout.audioEnd - dataStart + added || plan.sizes.riff < plan.sizes.data ||
      plan.sizes.riff + 8 > newLength || (kept == 0 && plan.sizes.riff + 8 != newLength))
    std::abort();
  if (std::memcmp(file.data(), "RIFF", 4) != 0 || std::memcmp(file.data() + 8, "WAVE", 4) != 0)
    std::abort();
  return 0;
}
