// RIFF/WAVE as bytes: numbers are little-endian, a chunk is an id, a size and a
// payload padded to an even length, and a file is walked chunk by chunk, never
// searched for a tag's letters. Pure functions; the caller does the I/O.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace zembrol {

// Writes the low byte, then the high byte.
void Decon2(uint16_t value, uint8_t* out);

// Writes the four bytes of `value`, least significant first.
void Decon4(int32_t value, uint8_t* out);

uint16_t Get2(const uint8_t* in);
uint32_t Get4(const uint8_t* in);

// The header that "w" and "rtm" write: "RIFF", "WAVE", a 16-byte PCM fmt chunk
// and the data chunk's tag and size.
inline constexpr int64_t kDataChunkOffset = 36;
inline constexpr int64_t kHeaderBytes = kDataChunkOffset + 8;

// The RIFF and data chunk sizes of a file.
struct ChunkSizes {
  int64_t riff = 0;
  int64_t data = 0;
};

// Returns the sizes of a file whose data chunk header stands at `dataOffset`,
// holding `dataBytes` of audio followed by `riffTail` bytes that still belong
// to the RIFF chunk (a pad byte and the chunks after the data).
ChunkSizes SizesFor(int64_t dataOffset, int64_t dataBytes, int64_t riffTail = 0);

// Returns whether both sizes fit the header's signed 32-bit fields.
bool SizesFit(const ChunkSizes& sizes);

// Returns the 44-byte header of a mono PCM track of `sampleCount` samples.
// REQUIRES: SizesFit for that many samples.
std::array<uint8_t, kHeaderBytes> HeaderBytes(uint32_t rate, uint32_t bits, int32_t sampleCount);

// Reads up to out.size() bytes at `offset`; returns how many it read.
using ReadAt = std::function<size_t(int64_t offset, std::span<uint8_t> out)>;

// Returns whether a chunk header stands at `pos`: four printable letters and
// a size that fits in the file.
bool ChunkHeaderAt(const ReadAt& read, int64_t length, int64_t pos);

// What the walk finds in a file of `length` bytes.
struct RiffLayout {
  enum class Form { kNone, kRiff, kRf64, kRifx };
  int64_t length = 0;
  Form form = Form::kNone;
  bool id3v2 = false;                // an ID3v2 tag stands before the RIFF chunk
  bool secondData = false;           // another data chunk follows the first
  int64_t fmtSize = -1;              // the first fmt chunk's size; -1: none before the data
  std::array<uint8_t, 40> fmt{};     // its first 40 bytes, zeros beyond its size
  std::vector<int64_t> factOffsets;  // every fact chunk of 4 bytes or more
  int64_t dataOffset = -1;           // the data chunk's header; -1: none found
  // The data size is trusted when it fits in the file and is no placeholder
  // (0xFFFFFFFF, past the end, or 0 with no chunk after it); otherwise the
  // audio runs to the end of the file, or to the chunks that writers put after
  // the audio (LIST, id3, ...) when nothing but those ends the file.
  bool trusted = false;
  int64_t audioEnd = 0;   // where the audio ends
  int64_t tailStart = 0;  // where the bytes after the audio (and its pad byte) begin
  int64_t riffTail = 0;   // bytes from tailStart that the RIFF chunk holds
};

RiffLayout WalkRiff(const ReadAt& read, int64_t length);

// Where "+" puts `addedBytes` of new audio: after the old audio, followed by a
// zero pad byte when something follows an odd size, then the bytes from
// `keptFrom` to the end of the file, which move by `shift`.
struct AppendPlan {
  int64_t keptFrom = 0;
  int64_t pad = 0;
  int64_t shift = 0;
  ChunkSizes sizes;
};

AppendPlan PlanAppend(const RiffLayout& layout, int64_t addedBytes);

// Returns why a track at `rate` and `bits` can't follow the audio of `layout`
// (which has a data chunk), or an empty text when it can.
std::string AppendRefusal(const RiffLayout& layout, uint32_t rate, int32_t bits);

}  // namespace zembrol
