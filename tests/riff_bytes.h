// WAV files made byte by byte for the tests: little-endian numbers, chunks
// padded to an even length, RIFF files and the 44-byte header of a mono track.
#pragma once

#include <cstdint>
#include <string>

namespace zembrol::test {

inline std::string Le(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
  return out;
}

inline uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

inline std::string Chunk(const std::string& id, const std::string& payload) {
  std::string c = id + Le(static_cast<uint32_t>(payload.size()), 4) + payload;
  if (payload.size() % 2 == 1) c.push_back('\0');
  return c;
}

// A PCM fmt payload; `extensible` adds the 22 bytes of WAVE_FORMAT_EXTENSIBLE.
inline std::string Fmt(uint32_t bits, uint32_t channels = 1, bool extensible = false,
                       uint32_t subformat = 1, uint32_t validBits = 0, uint32_t rate = 44100,
                       uint32_t format = 1) {
  const uint32_t align = channels * (bits == 24 ? 3 : bits / 8);
  std::string f = Le(extensible ? 0xFFFE : format, 2) + Le(channels, 2) + Le(rate, 4) +
                  Le(rate * align, 4) + Le(align, 2) + Le(bits, 2);
  if (extensible) {
    f += Le(22, 2) + Le(validBits == 0 ? bits : validBits, 2) + Le(4, 4) + Le(subformat, 2) +
         std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
  }
  return f;
}

// A RIFF file of `chunks`; its size field covers them.
inline std::string Riff(const std::string& chunks) {
  return "RIFF" + Le(static_cast<uint32_t>(chunks.size() + 4), 4) + "WAVE" + chunks;
}

// The 44-byte header of a track of `samples` samples.
inline std::string Header(uint32_t rate, uint32_t bits, uint32_t samples, uint32_t channels = 1,
                          uint32_t format = 1) {
  const uint32_t align = bits == 24 ? 3 : bits / 8;
  return Riff(Chunk("fmt ", Fmt(bits, channels, false, 1, 0, rate, format)) + "data" +
              Le(align * channels * samples, 4))
      .replace(4, 4, Le(align * channels * samples + 36, 4));
}

}  // namespace zembrol::test
