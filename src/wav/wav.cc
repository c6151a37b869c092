#include "wav/wav.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
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
#include "base/interrupt.h"

namespace zembrol {
namespace {

constexpr size_t kHeaderBytes = 44;
constexpr size_t kBlockBytes = size_t{1} << 20;  // the writer's buffer
constexpr size_t kPageBytes = 4096;
constexpr int64_t kLastTagProbe = 15000;  // the size fix looks at even offsets 2..15000

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

// Returns the path in single quotes.
std::string Quoted(const char* path) {
  std::string text(1, '\'');
  text.append(path);
  text.push_back('\'');
  return text;
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
// click() for each whole click, in order, until stopped() says so. A click
// starts at the first sample index at or above its single-precision position,
// or right after the click before it. Returns the samples laid down.
template <class Silence, class Click, class Stopped>
int64_t WalkTrack(const Track& track, Silence silence, Click click, Stopped stopped) {
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
  while (count < total && !stopped()) {
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

// Collects bytes in a buffer and hands it to the sink whenever it is full. A
// sink that returns false stops the collection: later bytes are dropped.
struct BlockSink {
  std::span<uint8_t> buffer;
  const std::function<bool(std::span<const uint8_t>)>& sink;
  size_t used = 0;
  bool stopped = false;
};

void Flush(BlockSink& out) {
  if (out.used > 0 && !out.stopped) out.stopped = !out.sink(out.buffer.first(out.used));
  out.used = 0;
}

void Put(BlockSink& out, const uint8_t* bytes, size_t n) {
  while (n > 0 && !out.stopped) {
    const size_t k = std::min(n, out.buffer.size() - out.used);
    std::memcpy(out.buffer.data() + out.used, bytes, k);
    out.used += k;
    bytes += k;
    n -= k;
    if (out.used == out.buffer.size()) Flush(out);
  }
}

void Fill(BlockSink& out, uint8_t byte, uint64_t n) {
  while (n > 0 && !out.stopped) {
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, out.buffer.size() - out.used));
    std::memset(out.buffer.data() + out.used, byte, k);
    out.used += k;
    n -= k;
    if (out.used == out.buffer.size()) Flush(out);
  }
}

// RenderTrack with a sink that may stop the rendering by returning false.
int64_t RenderBlocks(const Track& track, std::span<uint8_t> buffer,
                     const std::function<bool(std::span<const uint8_t>)>& sink) {
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
          for (int64_t i = 0; i < n && !out.stopped; ++i) Put(out, silence.data(), silence.size());
        }
      },
      [&] { Put(out, click.data(), click.size()); }, [&] { return out.stopped; });
  Flush(out);
  return samples;
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

int64_t WalkedSamples(const Track& track) {
  return WalkTrack(
      track, [](int64_t) {}, [] {}, [] { return false; });
}

int64_t RenderTrack(const Track& track, std::span<uint8_t> buffer,
                    const std::function<void(std::span<const uint8_t>)>& sink) {
  return RenderBlocks(track, buffer, [&](std::span<const uint8_t> block) {
    sink(block);
    return true;
  });
}

namespace {

// AppendedSamples by arithmetic -----------------------------------------------
//
// Click k >= 1 of a track lies on the grid at pos(k) = perBeat x b(k) in single
// precision, where b(k) = min(k, 2^24) is the writer's float beat counter (it
// stops growing at 2^24). With g(k) = ceil(pos(k)) and c the click length,
// click k starts at start(k) = max(start(k - 1) + c, g(k)), start(0) = 0, so
//   start(k) = k c + max(0, max over 1 <= j <= k of f(j)),  f(j) = g(j) - j c.
// The walk stops after the last click K that starts below the total, having
// laid down max(total, start(K) + c) samples. start() grows with k, so K is
// found by bisection; what remains is the running maximum of f.
//
// Within a binade of positions (one float exponent, so one spacing u between
// positions), take P = 1 when u <= 1, else the least P with c P a multiple of u.
// Along j, j + P, j + 2P, ... inside the binade, f changes only where the exact
// product perBeat x j crosses a rounding boundary, and always in the direction
// of perBeat - c: f is monotonic along each such class (with ties to even it
// may alternate between two values when perBeat = c). Each class's maximum is
// therefore among its first two and last two members.

constexpr int64_t kBeatLimit = int64_t{1} << 24;  // the float beat counter stops here

struct Grid {
  float perBeat;
  int64_t click;  // samples, >= 1
};

float Position(const Grid& grid, int64_t k) {
  return grid.perBeat * static_cast<float>(std::min(k, kBeatLimit));
}

// ceil(pos(k)), held at 2^40 for the positions far beyond any total.
int64_t Ceil(const Grid& grid, int64_t k) {
  constexpr double kFar = 0x1p40;
  const double up = std::ceil(static_cast<double>(Position(grid, k)));
  return up < kFar ? static_cast<int64_t>(up) : static_cast<int64_t>(kFar);
}

int64_t Lead(const Grid& grid, int64_t j) { return Ceil(grid, j) - j * grid.click; }

// The beat indices [first, last] whose positions share one float exponent.
struct Binade {
  int64_t first;
  int64_t last;
  int64_t period;
};

// Returns the largest j in [lo, hi] with keep(j), given keep(lo) and that keep
// holds for a prefix of the range.
template <class Keep>
int64_t LastKept(int64_t lo, int64_t hi, Keep keep) {
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo + 1) / 2;
    if (keep(mid)) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo;
}

// The maximum of f over j in [first, last], a part of `binade`.
int64_t MaxLead(const Grid& grid, const Binade& binade, int64_t first, int64_t last) {
  int64_t best = INT64_MIN;
  for (int64_t a = first; a < first + binade.period && a <= last; ++a) {
    const int64_t z = a + (last - a) / binade.period * binade.period;
    for (int64_t j : {a, a + binade.period, z - binade.period, z}) {
      if (j >= a && j <= z) best = std::max(best, Lead(grid, j));
    }
  }
  return best;
}

// The samples laid down for a grid of positive, finite perBeat.
int64_t AppendedOnGrid(const Grid& grid, int64_t total) {
  // Clicks from index `beyond` on start at or past the total: by length alone,
  // or because their grid position already lies there.
  int64_t beyond = (total + grid.click - 1) / grid.click;
  const int64_t lastGridded = std::min(beyond, kBeatLimit);
  if (lastGridded >= 1 && Ceil(grid, lastGridded) >= total) {
    beyond = 1 + LastKept(0, lastGridded - 1,
                          [&](int64_t j) { return j == 0 || Ceil(grid, j) < total; });
  }
  // Binades of the positions of the beats 1 .. min(beyond - 1, 2^24), all below the total.
  const int64_t end = std::min(beyond - 1, kBeatLimit);
  std::vector<Binade> binades;
  std::vector<int64_t> runningMax;  // the maximum of f up to the end of each binade
  for (int64_t j = 1; j <= end;) {
    int exponent = 0;
    std::frexp(Position(grid, j), &exponent);
    const double top = std::ldexp(1.0, exponent);
    const int64_t last =
        LastKept(j, end, [&](int64_t k) { return static_cast<double>(Position(grid, k)) < top; });
    int64_t period = 1;
    if (exponent > 24) {  // a spacing of 2^(exponent - 24) samples
      const int spacingLog = exponent - 24;
      const int shared = std::min(std::countr_zero(static_cast<uint64_t>(grid.click)), spacingLog);
      period = int64_t{1} << (spacingLog - shared);
    }
    binades.push_back({j, last, period});
    const int64_t best = MaxLead(grid, binades.back(), j, last);
    runningMax.push_back(runningMax.empty() ? best : std::max(runningMax.back(), best));
    j = last + 1;
  }
  // start(k) for k < beyond.
  auto start = [&](int64_t k) {
    int64_t lead = 0;
    const int64_t m = std::min(k, kBeatLimit);
    for (size_t b = 0; b < binades.size() && binades[b].first <= m; ++b) {
      if (binades[b].last <= m) {
        lead = std::max(lead, runningMax[b]);
      } else {
        lead = std::max(lead, MaxLead(grid, binades[b], binades[b].first, m));
      }
    }
    return k * grid.click + lead;
  };
  const int64_t lastClick = LastKept(0, beyond - 1, [&](int64_t k) { return start(k) < total; });
  return std::max(total, start(lastClick) + grid.click);
}

}  // namespace

int64_t AppendedSamples(const Track& track) {
  const int64_t total = track.totalSamples;
  if (total <= 0) return 0;
  if (track.clickSamples <= 0) return total;
  const int64_t click = track.clickSamples;
  const float perBeat = SamplesPerBeat(track.rate, track.tempo);
  if (std::isnan(perBeat) || perBeat == std::numeric_limits<float>::infinity()) {
    // One click, then silence: no later position is ever reached.
    return std::max(total, click);
  }
  if (perBeat <= 0) {
    // Every position is already passed: the clicks follow each other.
    return (total + click - 1) / click * click;
  }
  return AppendedOnGrid({perBeat, click}, total);
}

// Chunks ------------------------------------------------------------------------

namespace {

// The subformat GUID of integer PCM in WAVE_FORMAT_EXTENSIBLE.
constexpr uint8_t kPcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                  0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint16_t kExtensible = 0xFFFE;

bool Printable(const uint8_t* id) {
  return std::all_of(id, id + 4, [](uint8_t b) { return b >= 0x20 && b <= 0x7E; });
}

std::string Id(const uint8_t* id) { return std::string(reinterpret_cast<const char*>(id), 4); }

// What the fmt chunk at `in` (`size` bytes of it readable) says is wrong for a
// track of `rate` and `bits`, or an empty text.
std::string FormatProblem(const uint8_t* in, int64_t size, uint32_t rate, int32_t bits) {
  const std::string wanted = DescribeFormat(rate, static_cast<uint32_t>(bits), 1);
  FmtChunk fmt;
  fmt.format = Get2(in);
  fmt.channels = Get2(in + 2);
  fmt.rate = Get4(in + 4);
  fmt.blockAlign = Get2(in + 12);
  fmt.bits = Get2(in + 14);
  std::string kind;  // what makes the samples something other than integer PCM
  if (fmt.format == kExtensible) {
    if (size < 40) {
      kind = " in format 65534 without its extension";
    } else if (std::memcmp(in + 26, kPcmGuid + 2, 14) != 0) {
      kind = " in format 65534 with an unknown subformat";
    } else if (Get2(in + 24) != 1) {
      kind = " in format 65534 with subformat " + std::to_string(Get2(in + 24));
    } else if (Get2(in + 18) != fmt.bits) {
      kind = " with " + std::to_string(Get2(in + 18)) + " valid bits";
    }
  } else if (fmt.format != 1) {
    kind = " in format " + std::to_string(fmt.format);
  }
  if (!kind.empty() || fmt.channels != 1 || fmt.rate != rate ||
      fmt.bits != static_cast<uint32_t>(bits)) {
    return "holds " + DescribeFormat(fmt.rate, fmt.bits, fmt.channels) + " audio" + kind +
           ", not " + wanted;
  }
  if (fmt.blockAlign != BytesPerSample(bits)) {
    return "holds " + wanted + " audio in frames of " + std::to_string(fmt.blockAlign) +
           " bytes, not " + std::to_string(BytesPerSample(bits));
  }
  return "";
}

}  // namespace

AppendCheck CheckAppend(const ReadBytes& read, int64_t length, uint32_t rate, int32_t bits,
                        const char* path) {
  AppendCheck check;
  // The probes and the data chunk's size after the last of them.
  std::vector<uint8_t> head(static_cast<size_t>(std::clamp<int64_t>(length, 0, kLastTagProbe + 8)));
  head.resize(read(0, head));
  const int64_t tag = FindDataTag(head);
  check.dataTag = tag;
  if (tag < 0) return check;
  auto refuse = [&](const std::string& reason) {
    check.refusal = Quoted(path) + " " + reason + "; nothing was added.";
    return check;
  };
  const std::string noFmt = "has no fmt chunk to show it holds " +
                            DescribeFormat(rate, static_cast<uint32_t>(bits), 1) + " audio";
  if (!HasTag(head, 0, "RIFF") || !HasTag(head, 8, "WAVE")) return refuse(noFmt);

  // The chunks before the data tag: each is an id, a size and the payload,
  // padded to an even length. The walk must land on the tag exactly.
  std::string problem = noFmt;
  bool fmtSeen = false;
  int64_t pos = 12;
  while (pos < tag) {
    const int64_t size = pos + 8 <= tag ? Get4(head.data() + pos + 4) : 0;
    const int64_t next = pos + 8 + size + (size & 1);
    if (pos + 8 > tag || next > tag) {
      return refuse("holds the letters \"data\" at byte " + std::to_string(tag) + ", inside its '" +
                    Id(head.data() + pos) + "' chunk");
    }
    if (!fmtSeen && HasTag(head, pos, "fmt ")) {
      fmtSeen = true;
      problem = size < 16 ? "has a fmt chunk of " + std::to_string(size) + " bytes"
                          : FormatProblem(head.data() + pos + 8, size, rate, bits);
    }
    pos = next;
  }
  if (!problem.empty()) return refuse(problem);

  const int64_t audio = length - (tag + 8);
  if (audio < 0) return refuse("ends inside its data chunk header");
  // A chunk after the data: a printable id and a size that fits the file, where
  // the data chunk's size says the data ends (padded or, for odd sizes, not).
  const int64_t declared = Get4(head.data() + tag + 4);
  for (const int64_t after : {tag + 8 + declared + (declared & 1), tag + 8 + declared}) {
    uint8_t header[8];
    if (after + 8 > length || read(after, header) != sizeof header) continue;
    if (Printable(header) && after + 8 + Get4(header + 4) <= length)
      return refuse("has a '" + Id(header) + "' chunk after its data chunk");
  }
  if (audio % BytesPerSample(bits) != 0) {
    return refuse("ends inside a sample: its " + std::to_string(audio) +
                  " bytes of audio are not whole " + std::to_string(BytesPerSample(bits)) +
                  "-byte samples");
  }
  return check;
}

// Writing ---------------------------------------------------------------------

namespace {

// Why the writing of tracks stopped early, if it did.
struct Stop {
  int signal = 0;                // the interruption that was noted
  const char* failed = nullptr;  // the operation that failed: "write to", "seek in"
  int error = 0;
  explicit operator bool() const { return signal != 0 || failed != nullptr; }
};

Stop Failed(const char* what) { return {0, what, errno}; }

// Appends the tracks at the end of `file`, asking for an interruption before
// each block. Nothing is reported; the caller cleans up.
Stop AppendTracks(File& file, std::span<const Track> tracks) {
  // The tracks are laid out in our own large blocks: each is one write.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  if (fseeko(file.get(), 0, SEEK_END) != 0) return Failed("seek in");
  const off_t end = ftello(file.get());
  if (end < 0) return Failed("seek in");
  uint64_t position = static_cast<uint64_t>(end);
  std::vector<uint8_t> storage;
  Stop stop;
  for (const Track& track : tracks) {
    if (track.totalSamples <= 0) continue;
    // The kernel copies a block about twice as fast when it starts at the same
    // offset within a page as the file position it goes to (the data follows a
    // 44-byte header), so the block is placed in a slightly larger buffer.
    storage.resize(kBlockBytes + kPageBytes);
    const auto address = reinterpret_cast<uintptr_t>(storage.data());
    const size_t skew = (static_cast<uintptr_t>(position) - address) % kPageBytes;
    const std::span<uint8_t> buffer(storage.data() + skew, kBlockBytes);
    RenderBlocks(track, buffer, [&](std::span<const uint8_t> block) {
      stop.signal = Interruption();
      if (stop.signal != 0) return false;
      if (std::fwrite(block.data(), 1, block.size(), file.get()) != block.size()) {
        stop = Failed("write to");
        return false;
      }
      position += block.size();
      return true;
    });
    if (stop) return stop;
  }
  stop.signal = Interruption();
  return stop;
}

// Writes the four bytes of `size` at `offset`; returns false when that fails.
bool WriteSize(File& file, int64_t offset, int64_t size) {
  uint8_t bytes[4];
  Decon4(static_cast<int32_t>(size), bytes);
  return fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) == 0 &&
         std::fwrite(bytes, 1, sizeof bytes, file.get()) == sizeof bytes;
}

// Sets the data chunk size (its tag at `dataTag`) and the RIFF chunk size to
// match a file of `length` bytes.
bool WriteSizes(File& file, int64_t dataTag, int64_t length) {
  return WriteSize(file, dataTag + 4, length - (dataTag + 8)) && WriteSize(file, 4, length - 8);
}

// Cuts `path`, a 44-byte header and data, to whole samples and sets both sizes
// to match. Returns the samples kept.
int64_t KeepWholeSamples(const char* path, int32_t bytesPerSample) {
  struct stat info;
  if (stat(path, &info) != 0 || info.st_size < static_cast<off_t>(kHeaderBytes)) return 0;
  const int64_t samples = (info.st_size - static_cast<int64_t>(kHeaderBytes)) / bytesPerSample;
  const int64_t length = static_cast<int64_t>(kHeaderBytes) + samples * bytesPerSample;
  if (truncate(path, static_cast<off_t>(length)) != 0) return samples;
  File file = File::Open(path, "rb+");
  if (file) WriteSizes(file, static_cast<int64_t>(kHeaderBytes) - 8, length);
  return samples;
}

// Ends the program after the tracks stopped early and `path` was cleaned up.
[[noreturn]] void EndAfter(const Stop& stop, const char* path, const std::string& kept) {
  if (stop.failed != nullptr) Fail(stop.failed, path, stop.error);
  std::printf("Interrupted: %s\n", kept.c_str());
  EndProgram(128 + stop.signal);
}

// Ends the program when an interruption came after the file was finished.
void EndIfInterrupted(const char* path) {
  const int signal = Interruption();
  if (signal == 0) return;
  std::printf("Interrupted: '%s' was finished first.\n", path);
  EndProgram(128 + signal);
}

// Writes the tracks after the header of a new file, which is kept whole.
void WriteNewFile(const char* path, int32_t bits, std::span<const Track> tracks) {
  File file = OpenExisting(path);
  Stop stop = AppendTracks(file, tracks);
  if (!file.Close() && !stop) stop = Failed("write to");
  if (stop) {
    const int64_t samples = KeepWholeSamples(path, BytesPerSample(bits));
    EndAfter(stop, path,
             Quoted(path) + " keeps its first " + std::to_string(samples) + " samples.");
  }
}

}  // namespace

void WRITE_FILE(const Track& track, const char* path) {
  File file = OpenExisting(path);
  const Stop stop = AppendTracks(file, {&track, 1});
  if (stop.failed != nullptr) Abandon(file, stop.failed, path);
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
  const InterruptionGuard guard;
  MAKE_HEADER(path, track.rate, static_cast<uint32_t>(track.bits), track.totalSamples);
  WriteNewFile(path, track.bits, {&track, 1});
  EndIfInterrupted(path);
}

void WriteSectionTracks(const char* path, uint32_t rate, int32_t bits,
                        std::span<const Track> tracks) {
  const InterruptionGuard guard;
  MAKE_HEADER(path, rate, static_cast<uint32_t>(bits), 0);
  WriteNewFile(path, bits, tracks);
  FIX_SIZE(path);
  EndIfInterrupted(path);
}

void AppendClickTrack(const Track& track, bool trackTooLong, const char* path) {
  if (!TrackFits(track, trackTooLong)) {
    std::printf("The track is too long for a WAV file; nothing was added to '%s'.\n", path);
    return;
  }
  int64_t length = 0;
  int64_t tag = 0;
  uint8_t oldSizes[8];  // the RIFF and data chunk sizes as they stand
  {
    // Everything that could refuse the append is checked before a byte is written.
    File file = OpenExisting(path);
    length = FileLength(file, path);
    const ReadBytes read = [&](int64_t offset, std::span<uint8_t> out) -> size_t {
      if (fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0)
        Abandon(file, "seek in", path);
      const size_t n = std::fread(out.data(), 1, out.size(), file.get());
      if (std::ferror(file.get())) Abandon(file, "read", path);
      return n;
    };
    const AppendCheck check = CheckAppend(read, length, track.rate, track.bits, path);
    tag = check.dataTag;
    if (tag < 0) AbandonWith(file, kNoDataTag);
    if (!check.refusal.empty()) {
      std::puts(check.refusal.c_str());
      return;
    }
    const int64_t grown = length + AppendedSamples(track) * BytesPerSample(track.bits);
    if (grown - (tag + 8) >= kDataLimit || grown - 8 > INT32_MAX) {
      std::printf("'%s' would grow too long for a WAV file; nothing was added.\n", path);
      return;
    }
    read(4, std::span(oldSizes, 4));
    read(tag + 4, std::span(oldSizes + 4, 4));
  }

  const InterruptionGuard guard;
  File file = OpenExisting(path);
  Stop stop = AppendTracks(file, {&track, 1});
  if (!stop) {
    // The size fix: the data tag is the one checked above.
    const off_t grown = fseeko(file.get(), 0, SEEK_END) == 0 ? ftello(file.get()) : -1;
    if (grown < 0) {
      stop = Failed("seek in");
    } else if (!WriteSizes(file, tag, grown)) {
      stop = Failed("write to");
    }
  }
  if (!file.Close() && !stop) stop = Failed("write to");
  if (stop) {
    // Back to the old length and the old sizes, byte for byte.
    if (truncate(path, static_cast<off_t>(length)) == 0) {
      File restore = File::Open(path, "rb+");
      if (restore && fseeko(restore.get(), 4, SEEK_SET) == 0 &&
          std::fwrite(oldSizes, 1, 4, restore.get()) == 4 &&
          fseeko(restore.get(), static_cast<off_t>(tag + 4), SEEK_SET) == 0) {
        std::fwrite(oldSizes + 4, 1, 4, restore.get());
      }
    }
    EndAfter(stop, path, "nothing was added to " + Quoted(path) + ".");
  }
  EndIfInterrupted(path);
}

}  // namespace zembrol
