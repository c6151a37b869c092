#include "wav/riff.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/samples.h"

namespace zembrol {
namespace {

// Sizes are signed 32-bit numbers in the header.
constexpr int64_t kSizeLimit = int64_t{1} << 31;

constexpr uint16_t kPcm = 1;
constexpr uint16_t kExtensible = 0xFFFE;
// The subformat GUID of integer PCM in WAVE_FORMAT_EXTENSIBLE, after its first two bytes.
constexpr uint8_t kPcmGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

bool IdIs(const uint8_t* id, const char* tag) { return std::memcmp(id, tag, 4) == 0; }

std::string Describe(uint32_t rate, uint32_t bits, uint32_t channels) {
  char text[96];
  if (channels == 1) {
    std::snprintf(text, sizeof text, "%u Hz %u-bit mono", rate, bits);
  } else {
    std::snprintf(text, sizeof text, "%u Hz %u-bit %u-channel", rate, bits, channels);
  }
  return text;
}

std::string Hex(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

// What makes the fmt chunk's samples something other than integer PCM, or "".
std::string NotPcm(const RiffLayout& layout) {
  const uint8_t* fmt = layout.fmt.data();
  const uint16_t format = Get2(fmt);
  if (format == kPcm) return "";
  if (format != kExtensible) return "holds format " + Hex(format) + " audio, not integer PCM";
  if (layout.fmtSize < 40) return "holds format 0xFFFE audio without its extension";
  if (std::memcmp(fmt + 26, kPcmGuidTail, sizeof kPcmGuidTail) != 0)
    return "holds format 0xFFFE audio of an unknown subformat, not integer PCM";
  if (Get2(fmt + 24) != kPcm)
    return "holds format 0xFFFE audio of subformat " + Hex(Get2(fmt + 24)) + ", not integer PCM";
  return "";
}

}  // namespace

void Decon2(uint16_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

void Decon4(int32_t value, uint8_t* out) {
  const auto bits = static_cast<uint32_t>(value);
  out[0] = static_cast<uint8_t>(bits);
  out[1] = static_cast<uint8_t>(bits >> 8);
  out[2] = static_cast<uint8_t>(bits >> 16);
  out[3] = static_cast<uint8_t>(bits >> 24);
}

uint16_t Get2(const uint8_t* in) { return static_cast<uint16_t>(in[0] | in[1] << 8); }

uint32_t Get4(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

ChunkSizes SizesFor(int64_t dataOffset, int64_t dataBytes, int64_t riffTail) {
  // The RIFF chunk holds everything from "WAVE" (byte 8) to the end of its tail.
  return {dataOffset + 8 + dataBytes + riffTail - 8, dataBytes};
}

bool SizesFit(const ChunkSizes& sizes) {
  return sizes.data >= 0 && sizes.riff >= 0 && sizes.riff < kSizeLimit && sizes.data < kSizeLimit;
}

std::array<uint8_t, kHeaderBytes> HeaderBytes(uint32_t rate, uint32_t bits, int32_t sampleCount) {
  const auto blockAlign = static_cast<uint16_t>(BytesPerSample(static_cast<int32_t>(bits)));
  const ChunkSizes sizes = SizesFor(kDataChunkOffset, int64_t{blockAlign} * sampleCount);
  std::array<uint8_t, kHeaderBytes> h{};
  std::memcpy(&h[0], "RIFF", 4);
  Decon4(static_cast<int32_t>(sizes.riff), &h[4]);
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "fmt ", 4);
  Decon4(16, &h[16]);  // the PCM fmt chunk's size
  Decon2(kPcm, &h[20]);
  Decon2(1, &h[22]);  // mono
  Decon4(static_cast<int32_t>(rate), &h[24]);
  Decon4(static_cast<int32_t>(rate * blockAlign), &h[28]);  // byte rate
  Decon2(blockAlign, &h[32]);
  Decon2(static_cast<uint16_t>(bits), &h[34]);
  std::memcpy(&h[36], "data", 4);
  Decon4(static_cast<int32_t>(sizes.data), &h[40]);
  return h;
}

RiffLayout WalkRiff(const ReadAt& read, int64_t length) {
  RiffLayout layout;
  layout.length = length;
  uint8_t head[12];
  if (length < 12 || read(0, head) != sizeof head || !IdIs(head + 8, "WAVE")) return layout;
  layout.rf64 = IdIs(head, "RF64") || IdIs(head, "BW64");
  if (!IdIs(head, "RIFF") && !layout.rf64) return layout;

  int64_t pos = 12;
  uint8_t chunk[8];
  while (pos + 8 <= length && read(pos, chunk) == sizeof chunk) {
    const int64_t size = Get4(chunk + 4);
    if (IdIs(chunk, "data")) {
      layout.dataOffset = pos;
      break;
    }
    if (IdIs(chunk, "fmt ") && layout.fmtSize < 0) {
      layout.fmtSize = size;
      const auto n = static_cast<size_t>(std::min<int64_t>(size, layout.fmt.size()));
      if (read(pos + 8, std::span(layout.fmt).first(n)) != n) layout.fmtSize = -1;
    } else if (IdIs(chunk, "fact") && size >= 4 && layout.factOffset < 0) {
      layout.factOffset = pos;
    }
    // A chunk that runs past the end of the file ends the walk.
    pos += 8 + size + (size & 1);
  }
  if (layout.dataOffset < 0) return layout;

  // The sizes are trusted when the data chunk (and its pad byte, if there is
  // room) lies inside the RIFF chunk, which lies inside the file. A data size
  // of 0 is what streaming writers leave until they know better.
  const int64_t dataStart = layout.dataOffset + 8;
  const int64_t declared = Get4(chunk + 4);
  const int64_t dataEnd = dataStart + declared;
  const int64_t padded = dataEnd + (declared & 1);
  const int64_t riffEnd = 8 + int64_t{Get4(head + 4)};
  layout.trusted = !layout.rf64 && declared > 0 && dataEnd <= length && riffEnd <= length &&
                   (padded <= riffEnd || dataEnd == riffEnd);
  if (layout.trusted) {
    layout.audioEnd = dataEnd;
    layout.tailStart = padded <= riffEnd ? padded : dataEnd;
    layout.riffTail = riffEnd - layout.tailStart;
  } else {
    layout.audioEnd = layout.tailStart = length;
  }
  return layout;
}

AppendPlan PlanAppend(const RiffLayout& layout, int64_t addedBytes) {
  AppendPlan plan;
  plan.keptFrom = layout.tailStart;
  const int64_t audio = layout.audioEnd - (layout.dataOffset + 8) + addedBytes;
  if (addedBytes == 0) {
    plan.pad = layout.tailStart - layout.audioEnd;  // nothing moves
  } else if (layout.length > layout.tailStart) {
    plan.pad = audio & 1;
  }
  plan.sizes = SizesFor(layout.dataOffset, audio, plan.pad + layout.riffTail);
  return plan;
}

std::string AppendRefusal(const RiffLayout& layout, uint32_t rate, int32_t bits) {
  if (layout.rf64) return "is an RF64 file";
  if (layout.fmtSize < 0) return "has no fmt chunk before its data chunk";
  if (layout.fmtSize < 16) return "has a fmt chunk of " + std::to_string(layout.fmtSize) + " bytes";
  std::string kind = NotPcm(layout);
  if (!kind.empty()) return kind;

  const uint8_t* fmt = layout.fmt.data();
  const uint16_t channels = Get2(fmt + 2);
  const uint32_t fileRate = Get4(fmt + 4);
  const uint16_t blockAlign = Get2(fmt + 12);
  const uint16_t fileBits = Get2(fmt + 14);
  const auto wantedBits = static_cast<uint32_t>(bits);
  const std::string wanted = Describe(rate, wantedBits, 1);
  if (channels != 1 || fileRate != rate || fileBits != wantedBits)
    return "holds " + Describe(fileRate, fileBits, channels) + " audio, not " + wanted;
  if (Get2(fmt) == kExtensible && Get2(fmt + 18) != fileBits) {
    return "holds " + wanted + " audio with " + std::to_string(Get2(fmt + 18)) +
           " valid bits, not " + wanted;
  }
  const int32_t sampleBytes = BytesPerSample(bits);
  if (blockAlign != sampleBytes) {
    return "holds " + wanted + " audio in frames of " + std::to_string(blockAlign) +
           " bytes, not " + std::to_string(sampleBytes);
  }
  const int64_t audio = layout.audioEnd - (layout.dataOffset + 8);
  if (audio % sampleBytes != 0) {
    return "ends inside a sample: its " + std::to_string(audio) + " bytes of audio are not whole " +
           std::to_string(sampleBytes) + "-byte samples";
  }
  return "";
}

}  // namespace zembrol
