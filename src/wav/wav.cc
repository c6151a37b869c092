#include "wav/wav.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "base/fatal.h"
#include "base/file.h"

namespace zembrol {
namespace {

constexpr size_t kHeaderBytes = 44;
constexpr size_t kBlockBytes = size_t{1} << 20;  // the writer's buffer
constexpr size_t kPageBytes = 4096;
constexpr int64_t kLastTagProbe = 15000;         // the size fix looks at even offsets 2..15000

constexpr char kNoFile[] = "The requested filename does not exist!";
constexpr char kNoDataTag[] = "Can't find data block in wave file!";

// The 16 bytes of a PCM fmt chunk.
struct FmtChunk {
  uint16_t format = 1;  // 1: integer PCM
  uint16_t channels = 1;
  uint32_t rate = 0;
  uint32_t byteRate = 0;
  uint16_t blockAlign = 0;
  uint16_t bits = 0;
};

uint16_t Get2(const uint8_t* in) { return static_cast<uint16_t>(in[0] | in[1] << 8); }

uint32_t Get4(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

bool HasTag(std::span<const uint8_t> bytes, int64_t offset, const char* tag) {
  return offset >= 0 && offset + 4 <= static_cast<int64_t>(bytes.size()) &&
         std::memcmp(bytes.data() + offset, tag, 4) == 0;
}

// Prints "Could not <what> '<path>': <reason>" and ends the program (status 2).
[[noreturn]] void Fail(const char* what, const char* path, int error) {
  const std::string line =
      std::string("Could not ") + what + " '" + path + "': " + std::strerror(error);
  Fatal(stdout, 2, line.c_str());
}

// Fail() for the operation that has just failed on `file`, which is closed first.
[[noreturn]] void Abandon(File& file, const char* what, const char* path) {
  const int error = errno;
  file.Close();
  Fail(what, path, error);
}

[[noreturn]] void AbandonWith(File& file, const char* line) {
  file.Close();
  Fatal(stdout, 2, line);
}

// Opens an existing file for reading and writing, or ends the program.
File OpenExisting(const char* path) {
  File file = File::Open(path, "rb+");
  if (!file) Fatal(stdout, 2, kNoFile);
  return file;
}

// Returns the file's first bytes, as many as the data tag search can look at.
std::vector<uint8_t> ReadHead(File& file, const char* path) {
  std::vector<uint8_t> head(kLastTagProbe + 4);
  if (fseeko(file.get(), 0, SEEK_SET) != 0) Abandon(file, "seek in", path);
  const size_t n = std::fread(head.data(), 1, head.size(), file.get());
  if (std::ferror(file.get())) Abandon(file, "read", path);
  head.resize(n);
  return head;
}

// Returns the offset of the data tag, or -1 when no even offset 2..15000 holds it.
int64_t FindDataTag(std::span<const uint8_t> head) {
  for (int64_t offset = 2; offset <= kLastTagProbe; offset += 2)
    if (HasTag(head, offset, "data")) return offset;
  return -1;
}

int64_t FileLength(File& file, const char* path) {
  if (fseeko(file.get(), 0, SEEK_END) != 0) Abandon(file, "seek in", path);
  const off_t length = ftello(file.get());
  if (length < 0) Abandon(file, "seek in", path);
  return length;
}

void PutSize(File& file, const char* path, int64_t offset, int64_t size) {
  uint8_t bytes[4];
  Decon4(static_cast<int32_t>(size), bytes);
  if (fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0)
    Abandon(file, "seek in", path);
  if (std::fwrite(bytes, 1, sizeof bytes, file.get()) != sizeof bytes)
    Abandon(file, "write to", path);
}

// Finds the fmt chunk among the RIFF chunks that stand before the data tag.
bool ReadFmtChunk(std::span<const uint8_t> head, int64_t dataTag, FmtChunk& fmt) {
  if (!HasTag(head, 0, "RIFF") || !HasTag(head, 8, "WAVE")) return false;
  const int64_t size = static_cast<int64_t>(head.size());
  int64_t pos = 12;
  while (pos < dataTag && pos + 8 <= size) {
    const int64_t chunkSize = Get4(head.data() + pos + 4);
    if (HasTag(head, pos, "fmt ")) {
      if (chunkSize < 16 || pos + 8 + 16 > size) return false;
      const uint8_t* in = head.data() + pos + 8;
      fmt.format = Get2(in);
      fmt.channels = Get2(in + 2);
      fmt.rate = Get4(in + 4);
      fmt.byteRate = Get4(in + 8);
      fmt.blockAlign = Get2(in + 12);
      fmt.bits = Get2(in + 14);
      return true;
    }
    pos += 8 + chunkSize + (chunkSize & 1);  // chunks are padded to even sizes
  }
  return false;
}

std::string DescribeFormat(uint32_t rate, uint32_t bits, uint32_t channels) {
  char text[96];
  if (channels == 1) {
    std::snprintf(text, sizeof text, "%u Hz %u-bit mono", rate, bits);
  } else {
    std::snprintf(text, sizeof text, "%u Hz %u-bit %u-channel", rate, bits, channels);
  }
  return text;
}

// Rounds to the nearest float, overflowing to infinity as the hardware does.
float ToFloat(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  constexpr double kOverflow = kMax + 0x1p103;  // half a unit above the largest float
  if (value >= kOverflow) return std::numeric_limits<float>::infinity();
  if (value <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(std::clamp(value, -kMax, kMax));
}

// Walks the writer's beat loop: silence(n) for each run of n silence samples and
// click() for each whole click, in order. A click starts at the first sample
// index at or above its single-precision position, or right after the click
// before it. Returns the samples laid down.
template <class Silence, class Click>
int64_t WalkTrack(const Track& track, Silence silence, Click click) {
  const int64_t total = track.totalSamples;
  if (total <= 0) return 0;
  if (track.clickSamples <= 0) {
    // Empty clicks add no samples: the track is silence from end to end.
    silence(total);
    return total;
  }
  const float perBeat = SamplesPerBeat(track.rate, track.tempo);
  int64_t count = 0;
  float beats = 0.0f;
  float next = 0.0f;
  while (count < total) {
    // NaN positions compare false: silence to the end.
    if (static_cast<double>(count) >= static_cast<double>(next)) {
      beats += 1.0f;
      click();
      count += track.clickSamples;
      if (count >= total) break;
      next = perBeat * beats;
    } else {
      const double start = std::ceil(static_cast<double>(next));
      const int64_t until =
          start < static_cast<double>(total) ? static_cast<int64_t>(start) : total;
      silence(until - count);
      count = until;
    }
  }
  return count;
}

// Collects bytes in a buffer and hands it to the sink whenever it is full.
struct BlockSink {
  std::span<uint8_t> buffer;
  const std::function<void(std::span<const uint8_t>)>& sink;
  size_t used = 0;
};

void Flush(BlockSink& out) {
  if (out.used > 0) out.sink(out.buffer.first(out.used));
  out.used = 0;
}

void Put(BlockSink& out, const uint8_t* bytes, size_t n) {
  while (n > 0) {
    const size_t k = std::min(n, out.buffer.size() - out.used);
    std::memcpy(out.buffer.data() + out.used, bytes, k);
    out.used += k;
    bytes += k;
    n -= k;
    if (out.used == out.buffer.size()) Flush(out);
  }
}

void Fill(BlockSink& out, uint8_t byte, uint64_t n) {
  while (n > 0) {
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, out.buffer.size() - out.used));
    std::memset(out.buffer.data() + out.used, byte, k);
    out.used += k;
    n -= k;
    if (out.used == out.buffer.size()) Flush(out);
  }
}

// Returns whether the data of `track` alone stays below the WAV data limit.
bool TrackFits(const Track& track, bool trackTooLong) {
  if (trackTooLong) return false;
  return AppendedSamples(track) * BytesPerSample(track.bits) < kDataLimit;
}

}  // namespace

int32_t BytesPerSample(int32_t bits) { return bits == 24 ? 3 : bits / 8; }

void Decon2(uint16_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

void Decon4(int32_t value, uint8_t* out) {
  const uint32_t bits = static_cast<uint32_t>(value);
  out[0] = static_cast<uint8_t>(bits);
  out[1] = static_cast<uint8_t>(bits >> 8);
  out[2] = static_cast<uint8_t>(bits >> 16);
  out[3] = static_cast<uint8_t>(bits >> 24);
}

void MAKE_HEADER(const char* path, uint32_t rate, uint32_t bits, int32_t sampleCount) {
  FmtChunk fmt;
  fmt.rate = rate;
  fmt.blockAlign = static_cast<uint16_t>(bits == 24 ? 3 : bits / 8);
  fmt.byteRate = rate * fmt.blockAlign;
  fmt.bits = static_cast<uint16_t>(bits);
  const uint32_t dataSize = fmt.blockAlign * static_cast<uint32_t>(sampleCount);

  uint8_t header[kHeaderBytes];
  std::memcpy(header, "RIFF", 4);
  // 36 = "WAVE" + the fmt chunk (8 + 16) + the data chunk's tag and size.
  Decon4(static_cast<int32_t>(dataSize + 36), header + 4);
  std::memcpy(header + 8, "WAVE", 4);
  std::memcpy(header + 12, "fmt ", 4);
  Decon4(16, header + 16);  // the PCM fmt chunk's size
  Decon2(fmt.format, header + 20);
  Decon2(fmt.channels, header + 22);
  Decon4(static_cast<int32_t>(fmt.rate), header + 24);
  Decon4(static_cast<int32_t>(fmt.byteRate), header + 28);
  Decon2(fmt.blockAlign, header + 32);
  Decon2(fmt.bits, header + 34);
  std::memcpy(header + 36, "data", 4);
  Decon4(static_cast<int32_t>(dataSize), header + 40);

  File file = File::Open(path, "wb");
  if (!file) Fail("create", path, errno);
  if (std::fwrite(header, 1, sizeof header, file.get()) != sizeof header)
    Abandon(file, "write to", path);
  if (!file.Close()) Fail("write to", path, errno);
}

float SamplesPerBeat(uint32_t rate, float tempo) {
  return ToFloat(static_cast<double>(rate) / (static_cast<double>(tempo) / 60.0));
}

int64_t AppendedSamples(const Track& track) {
  return WalkTrack(
      track, [](int64_t) {}, [] {});
}

int64_t RenderTrack(const Track& track, std::span<uint8_t> buffer,
                    const std::function<void(std::span<const uint8_t>)>& sink) {
  const size_t sampleBytes = static_cast<size_t>(BytesPerSample(track.bits));
  const std::span<const uint8_t> silence = track.silence.first(sampleBytes);
  const std::span<const uint8_t> click =
      track.click.first(static_cast<size_t>(std::max(track.clickSamples, 0)) * sampleBytes);
  const bool uniform =
      std::all_of(silence.begin(), silence.end(), [&](uint8_t b) { return b == silence.front(); });
  BlockSink out{buffer, sink};
  const int64_t samples = WalkTrack(
      track,
      [&](int64_t n) {
        if (uniform && !silence.empty()) {
          Fill(out, silence.front(), static_cast<uint64_t>(n) * sampleBytes);
        } else {
          for (int64_t i = 0; i < n; ++i) Put(out, silence.data(), silence.size());
        }
      },
      [&] { Put(out, click.data(), click.size()); });
  Flush(out);
  return samples;
}

void WRITE_FILE(const Track& track, const char* path) {
  File file = OpenExisting(path);
  // The track is laid out in our own large blocks: each is one write.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  if (fseeko(file.get(), 0, SEEK_END) != 0) Abandon(file, "seek in", path);
  const off_t end = ftello(file.get());
  if (end < 0) Abandon(file, "seek in", path);
  if (track.totalSamples > 0) {
    // The kernel copies a block about twice as fast when it starts at the same
    // offset within a page as the file position it goes to (the data follows a
    // 44-byte header), so the block is placed in a slightly larger buffer.
    std::vector<uint8_t> storage(kBlockBytes + kPageBytes);
    const auto address = reinterpret_cast<uintptr_t>(storage.data());
    const size_t skew = (static_cast<uintptr_t>(end) - address) % kPageBytes;
    const std::span<uint8_t> buffer(storage.data() + skew, kBlockBytes);
    RenderTrack(track, buffer, [&](std::span<const uint8_t> block) {
      if (std::fwrite(block.data(), 1, block.size(), file.get()) != block.size())
        Abandon(file, "write to", path);
    });
  }
  if (!file.Close()) Fail("write to", path, errno);
}

void FIX_SIZE(const char* path) {
  File file = OpenExisting(path);
  const int64_t tag = FindDataTag(ReadHead(file, path));
  if (tag < 0) AbandonWith(file, kNoDataTag);
  const int64_t length = FileLength(file, path);
  const int64_t dataSize = length - (tag + 8);
  const int64_t riffSize = length - 8;
  if (dataSize < 0 || riffSize > INT32_MAX) {
    const std::string line = std::string("Could not fix the sizes of '") + path + "': its length " +
                             std::to_string(length) + " does not fit a WAV header.";
    AbandonWith(file, line.c_str());
  }
  PutSize(file, path, tag + 4, dataSize);
  PutSize(file, path, 4, riffSize);
  if (!file.Close()) Fail("write to", path, errno);
}

void WriteClickTrack(const Track& track, bool trackTooLong, const char* path) {
  if (!TrackFits(track, trackTooLong)) {
    std::printf("The track is too long for a WAV file; '%s' was not written.\n", path);
    return;
  }
  MAKE_HEADER(path, track.rate, static_cast<uint32_t>(track.bits), track.totalSamples);
  WRITE_FILE(track, path);
}

void AppendClickTrack(const Track& track, bool trackTooLong, const char* path) {
  if (!TrackFits(track, trackTooLong)) {
    std::printf("The track is too long for a WAV file; nothing was added to '%s'.\n", path);
    return;
  }
  {
    // Everything that could refuse the append is checked before a byte is written.
    File file = OpenExisting(path);
    const std::vector<uint8_t> head = ReadHead(file, path);
    const int64_t tag = FindDataTag(head);
    if (tag < 0) AbandonWith(file, kNoDataTag);

    const std::string wanted = DescribeFormat(track.rate, static_cast<uint32_t>(track.bits), 1);
    FmtChunk fmt;
    if (!ReadFmtChunk(head, tag, fmt)) {
      std::printf("'%s' has no fmt chunk to show it holds %s audio; nothing was added.\n", path,
                  wanted.c_str());
      return;
    }
    if (fmt.format != 1 || fmt.channels != 1 || fmt.rate != track.rate ||
        fmt.bits != static_cast<uint32_t>(track.bits)) {
      std::string found = DescribeFormat(fmt.rate, fmt.bits, fmt.channels) + " audio";
      if (fmt.format != 1) found += " in format " + std::to_string(fmt.format);
      std::printf("'%s' holds %s, not %s; nothing was added.\n", path, found.c_str(),
                  wanted.c_str());
      return;
    }

    const int64_t length = FileLength(file, path);
    const int64_t grown = length + AppendedSamples(track) * BytesPerSample(track.bits);
    const int64_t dataSize = grown - (tag + 8);
    if (dataSize < 0) {
      std::printf("'%s' ends inside its data chunk header; nothing was added.\n", path);
      return;
    }
    if (dataSize >= kDataLimit || grown - 8 > INT32_MAX) {
      std::printf("'%s' would grow too long for a WAV file; nothing was added.\n", path);
      return;
    }
  }
  WRITE_FILE(track, path);
  FIX_SIZE(path);
}

}  // namespace zembrol
