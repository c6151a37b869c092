#include "wav/riff.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

bool Printable(const uint8_t* id) {
  return std::all_of(id, id + 4, [](uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

// Chunks that writers put after the audio, also when streaming.
constexpr const char* kAfterAudio[] = {"LIST", "id3 ", "ID3 ", "JUNK", "PAD ", "bext",
                                       "cue ", "smpl", "inst", "acid", "_PMX", "iXML"};

// Streaming writers leave their trailing chunks somewhere in the last bytes.
constexpr int64_t kTrailerWindow = int64_t{1} << 16;

// Returns whether `bytes` from `pos` on hold nothing but whole chunks of
// kAfterAudio, the last one ending with the bytes or with its pad byte.
bool OnlyTrailingChunks(std::span<const uint8_t> bytes, size_t pos) {
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 8 ||
        std::none_of(std::begin(kAfterAudio), std::end(kAfterAudio),
                     [&](const char* id) { return IdIs(&bytes[pos], id); }))
      return false;
    const uint32_t size = Get4(&bytes[pos + 4]);
    if (size > bytes.size() - pos - 8) return false;
    pos += 8 + size;
    if (pos < bytes.size()) pos += size & 1;
  }
  return true;
}

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

bool ChunkHeaderAt(const ReadAt& read, int64_t length, int64_t pos) {
  uint8_t chunk[8];
  if (pos + 8 > length || read(pos, chunk) != sizeof chunk || !Printable(chunk)) return false;
  return pos + 8 + int64_t{Get4(chunk + 4)} <= length;
}

RiffLayout WalkRiff(const ReadAt& read, int64_t length) {
  RiffLayout layout;
  layout.length = length;
  // Taggers may put an ID3v2 tag (a 10-byte header, a size of four 7-bit
  // bytes and an optional 10-byte footer) before the RIFF chunk.
  int64_t start = 0;
  uint8_t head[12];
  if (length >= 10 && read(0, std::span(head).first(10)) == 10 &&
      std::memcmp(head, "ID3", 3) == 0) {
    layout.id3v2 = true;
    start = 10 + (int64_t{head[6] & 0x7F} << 21 | head[7] << 14 | head[8] << 7 | head[9]) +
            ((head[5] & 0x10) != 0 ? 10 : 0);
  }
  if (start + 12 > length || read(start, head) != sizeof head || !IdIs(head + 8, "WAVE"))
    return layout;
  using Form = RiffLayout::Form;
  layout.form = IdIs(head, "RIFF")                         ? Form::kRiff
                : IdIs(head, "RF64") || IdIs(head, "BW64") ? Form::kRf64
                : IdIs(head, "RIFX")                       ? Form::kRifx
                                                           : Form::kNone;
  if (layout.form == Form::kNone) return layout;
  // RIFX numbers are big-endian.
  auto size4 = [&](const uint8_t* in) {
    return layout.form == Form::kRifx
               ? static_cast<uint32_t>(in[0] << 24 | in[1] << 16 | in[2] << 8 | in[3])
               : Get4(in);
  };

  int64_t pos = start + 12;
  uint8_t chunk[8];
  while (pos + 8 <= length && read(pos, chunk) == sizeof chunk) {
    const int64_t size = size4(chunk + 4);
    if (IdIs(chunk, "data")) {
      layout.dataOffset = pos;
      break;
    }
    if (IdIs(chunk, "fmt ") && layout.fmtSize < 0) {
      layout.fmtSize = size;
      const auto n = static_cast<size_t>(std::min<int64_t>(size, layout.fmt.size()));
      if (read(pos + 8, std::span(layout.fmt).first(n)) != n) layout.fmtSize = -1;
    } else if (IdIs(chunk, "fact") && size >= 4) {
      layout.factOffsets.push_back(pos);
    }
    // A chunk that runs past the end of the file ends the walk.
    pos += 8 + size + (size & 1);
  }
  if (layout.dataOffset < 0) return layout;
  // A file "+" refuses for its form is taken to end with its audio.
  layout.audioEnd = layout.tailStart = length;
  if (layout.form != Form::kRiff || layout.id3v2) return layout;

  const int64_t dataStart = layout.dataOffset + 8;
  const int64_t declared = Get4(chunk + 4);
  const int64_t dataEnd = dataStart + declared;
  layout.trusted = declared != 0xFFFFFFFF && dataEnd <= length &&
                   (declared != 0 || ChunkHeaderAt(read, length, dataStart));
  uint8_t last = 1;
  if (!layout.trusted) {
    const int64_t frame = layout.fmtSize >= 16 ? Get2(layout.fmt.data() + 12) : 0;
    // Streaming placeholders: the audio ends at the first whole frame (or
    // the zero pad byte after an odd number of bytes of them) from which on
    // the file holds nothing but chunks that writers put after the audio, as
    // GStreamer's wavenc to a pipe does with its LIST chunk. The RIFF chunk
    // then holds them all.
    const int64_t base = std::max(dataStart, length - kTrailerWindow);
    std::vector<uint8_t> window(static_cast<size_t>(frame > 0 ? length - base : 0));
    if (!window.empty() && read(base, window) == window.size()) {
      for (pos = base; pos + 8 <= length; ++pos) {
        const int64_t audio = pos - dataStart;
        const bool whole = audio % frame == 0;
        const bool padded = !whole && (audio - 1) % frame == 0 && audio % 2 == 0 && pos > base &&
                            window[static_cast<size_t>(pos - base - 1)] == 0;
        if ((whole || padded) && OnlyTrailingChunks(window, static_cast<size_t>(pos - base))) {
          layout.audioEnd = padded ? pos - 1 : pos;
          layout.tailStart = pos;
          layout.riffTail = length - pos;
          return layout;
        }
      }
    }
    // Otherwise the audio runs to the end of the file, where a zero after an
    // odd number of bytes of whole frames is a pad byte.
    const int64_t audio = length - dataStart;
    if (frame > 0 && audio % frame != 0 && (audio - 1) % frame == 0 && (audio - 1) % 2 == 1 &&
        read(length - 1, std::span(&last, 1)) == 1 && last == 0)
      layout.audioEnd = length - 1;
    return layout;
  }
  // After odd-sized data, a zero byte that starts no chunk is its pad byte.
  layout.audioEnd = layout.tailStart = dataEnd;
  if ((declared & 1) != 0 && read(dataEnd, std::span(&last, 1)) == 1 && last == 0 &&
      !ChunkHeaderAt(read, length, dataEnd))
    layout.tailStart = dataEnd + 1;
  // The RIFF chunk keeps its end when that lies between the audio and the end
  // of the file; otherwise its size is off and it comes to cover all that follows.
  const int64_t riffEnd = 8 + int64_t{Get4(head + 4)};
  layout.riffTail = riffEnd >= layout.tailStart && riffEnd <= length ? riffEnd - layout.tailStart
                                                                     : length - layout.tailStart;
  // The chunks after the data inside the RIFF chunk: fact counts to fix, or
  // a second data chunk.
  const int64_t riffLast = layout.tailStart + layout.riffTail;
  for (pos = layout.tailStart;
       pos + 8 <= riffLast && read(pos, chunk) == sizeof chunk && Printable(chunk);) {
    const int64_t size = Get4(chunk + 4);
    if (IdIs(chunk, "data")) layout.secondData = true;
    if (IdIs(chunk, "fact") && size >= 4 && pos + 12 <= length) layout.factOffsets.push_back(pos);
    pos += 8 + size + (size & 1);
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
  plan.shift = layout.audioEnd + addedBytes + plan.pad - plan.keptFrom;
  plan.sizes = SizesFor(layout.dataOffset, audio, plan.pad + layout.riffTail);
  return plan;
}

std::string AppendRefusal(const RiffLayout& layout, uint32_t rate, int32_t bits) {
  using Form = RiffLayout::Form;
  if (layout.id3v2) return "begins with an ID3v2 tag";
  if (layout.form == Form::kRf64) return "is an RF64 file";
  if (layout.form == Form::kRifx) return "is a big-endian RIFX file";
  if (layout.secondData) return "has two data chunks";
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
