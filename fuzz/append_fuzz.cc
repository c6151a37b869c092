// Runs the "+" pre-check over arbitrary file bytes, read through the same kind
// of reader as a file, for a 24-bit 44100 Hz or 16-bit 48000 Hz track as the
// last byte chooses. A file it accepts must be one the size fix and the append
// keep whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "wav/wav.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool deep = (data[size - 1] & 1) != 0;
  const uint32_t rate = deep ? 44100 : 48000;
  const int32_t bits = deep ? 24 : 16;
  const std::span<const uint8_t> file(data, size - 1);
  const auto length = static_cast<int64_t>(file.size());
  const zembrol::ReadBytes read = [&](int64_t offset, std::span<uint8_t> out) -> size_t {
    if (offset < 0) std::abort();
    if (offset >= length) return 0;
    const size_t n = std::min(out.size(), static_cast<size_t>(length - offset));
    std::memcpy(out.data(), file.data() + offset, n);
    return n;
  };
  const zembrol::AppendCheck check = zembrol::CheckAppend(read, length, rate, bits, "f.wav");

  auto tagAt = [&](int64_t at, const char* tag) {
    return at >= 0 && at + 4 <= length && std::memcmp(file.data() + at, tag, 4) == 0;
  };
  int64_t first = -1;
  for (int64_t at = 2; at <= 15000 && first < 0; at += 2)
    if (tagAt(at, "data")) first = at;
  if (check.dataTag != first) std::abort();
  if (first < 0 || !check.refusal.empty()) return 0;
  // Accepted: a RIFF WAVE file whose data chunk holds whole samples to the end.
  if (!tagAt(0, "RIFF") || !tagAt(8, "WAVE")) std::abort();
  const int64_t audio = length - (first + 8);
  if (audio < 0 || audio % zembrol::BytesPerSample(bits) != 0) std::abort();
  return 0;
}
