#include "wav/wav.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "base/fatal.h"
#include "base/interrupt.h"
#include "base/replace.h"
#include "base/samples.h"

namespace zembrol {
namespace {

constexpr size_t kBlockBytes = size_t{1} << 20;  // the writer's buffer
constexpr size_t kPageBytes = 4096;

constexpr char kNoFile[] = "The requested filename does not exist!";
constexpr char kNoDataChunk[] = "Can't find data block in wave file!";

Stop Failed(const char* what) { return {0, what, errno}; }

// Returns the path in single quotes.
std::string Quoted(const char* path) { return std::string("'") + path + "'"; }

[[noreturn]] void FailWith(const std::string& line) { Fatal(stdout, 2, line.c_str()); }

enum class Until { kInterrupted, kDone };

// Writes all of `bytes` at `offset`, or at the position when `offset` is -1.
// An interruption stops it, unless it is putting things back (Until::kDone).
Stop WriteAll(int fd, std::span<const uint8_t> bytes, int64_t offset = -1,
              Until until = Until::kInterrupted) {
  while (!bytes.empty()) {
    const ssize_t n = offset < 0 ? write(fd, bytes.data(), bytes.size())
                                 : pwrite(fd, bytes.data(), bytes.size(), offset);
    if (n < 0) {
      const bool stoppable = until == Until::kInterrupted && Interruption() != 0;
      if (errno == EINTR && !stoppable) continue;
      // A write to a pipe whose reader left fails along with SIGPIPE.
      return stoppable ? Stop{Interruption()} : Failed("write to");
    }
    bytes = bytes.subspan(static_cast<size_t>(n));
    if (offset >= 0) offset += n;
  }
  return {};
}

Stop Write(OutputFile& out, std::span<const uint8_t> bytes) {
  const Stop stop = WriteAll(out.fd.get(), bytes);
  if (stop) return stop;
  // A file that is synced at the end goes to disk while the next block is
  // made, rather than all at once then.
  if (out.toBeSynced) {
    sync_file_range(out.fd.get(), out.position, static_cast<off_t>(bytes.size()),
                    SYNC_FILE_RANGE_WRITE);
  }
  out.position += static_cast<int64_t>(bytes.size());
  return {};
}

// Reads up to out.size() bytes at `offset`; fewer at the end of the file, on a
// failure or an interruption, which the caller asks for afterwards.
size_t ReadAll(int fd, int64_t offset, std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = pread(fd, out.data() + done, out.size() - done,
                            static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (n < 0 && errno == EINTR && Interruption() == 0) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

enum class Open { kCreate, kExisting };

// Opens the output into `out`, or ends the program; says so and returns false
// when another user's symbolic link stands in its place. A blocked open (a
// FIFO without a reader) ends with an interruption.
bool OpenOutput(const char* path, Open how, OutputFile& out) {
  std::fflush(stdout);
  const int flags = how == Open::kCreate ? O_WRONLY | O_CREAT : O_RDWR;
  out.path = path;
  out.position = 0;
  while (true) {
    if (const int signal = Interruption(); signal != 0) {
      std::printf("Interrupted: nothing was written to %s.\n", Quoted(path).c_str());
      EndProgram(128 + signal);
    }
    const Found found = OpenPlace(path, flags, out.place, out.fd);
    if (found == Found::kPlace) return true;
    if (found == Found::kForeignLink) {
      std::printf("%s %s\n", Quoted(path).c_str(), kForeignLinkRefusal);
      return false;
    }
    if (errno == EINTR) continue;
    if (how == Open::kExisting && errno == ENOENT) Fatal(stdout, 2, kNoFile);
    const char* reason = std::strerror(errno);
    FailWith(how == Open::kCreate ? "Could not create " + Quoted(path) + ": " + reason
                                  : "Could not open " + Quoted(path) + " for appending: " + reason);
  }
}

// Takes the output's exclusive lock; says so and returns false when another
// process holds it. A file system without locks is written unlocked.
bool Lock(const OutputFile& out, const char* nothingDone) {
  while (flock(out.fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return true;
    std::printf("%s is being written by another process; %s.\n", Quoted(out.path).c_str(),
                nothingDone);
    return false;
  }
  return true;
}

bool IsRegular(const OutputFile& out, int64_t* length = nullptr) {
  struct stat info;
  if (fstat(out.fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (length != nullptr) *length = info.st_size;
  return true;
}

// Ends the program after the writing stopped early and the file was cleaned up.
[[noreturn]] void EndAfter(const Stop& stop, const char* path, const std::string& kept) {
  if (stop.failed != nullptr) {
    FailWith(std::string("Could not ") + stop.failed + " " + Quoted(path) + ": " +
             std::strerror(stop.error));
  }
  std::printf("Interrupted: %s\n", kept.c_str());
  EndProgram(128 + stop.signal);
}

// Ends the program when an interruption came after the file was finished.
void EndIfInterrupted(const char* path) {
  const int signal = Interruption();
  if (signal == 0) return;
  std::printf("Interrupted: %s was finished first.\n", Quoted(path).c_str());
  EndProgram(128 + signal);
}

// Cuts a new file (header and audio) to whole samples with both sizes set to
// match. Returns the samples kept.
int64_t KeepWholeSamples(OutputFile& out, int32_t bits) {
  int64_t length = 0;
  if (!IsRegular(out, &length) || length < kHeaderBytes) return 0;
  const int32_t sampleBytes = BytesPerSample(bits);
  const int64_t samples = (length - kHeaderBytes) / sampleBytes;
  const int64_t audio = samples * sampleBytes;
  if (ftruncate(out.fd.get(), kHeaderBytes + audio) == 0)
    FIX_SIZE(out, {}, SizesFor(kDataChunkOffset, audio));
  return samples;
}

// Closes a new file, or after a stop cuts it to whole samples and ends the program.
void FinishNewFile(OutputFile& out, Stop stop, int32_t bits) {
  if (stop) {
    const int64_t samples = KeepWholeSamples(out, bits);
    EndAfter(stop, out.path,
             Quoted(out.path) + " keeps its first " + std::to_string(samples) + " samples.");
  }
  if (!out.fd.Close()) EndAfter(Failed("write to"), out.path, "");
  EndIfInterrupted(out.path);
}

// Opens, locks and empties the output of "w" and "rtm"; false when it is locked.
bool StartNewFile(OutputFile& out, const char* path) {
  if (!OpenOutput(path, Open::kCreate, out) || !Lock(out, "it was not written")) return false;
  // An empty file is not truncated again: some file systems then flush the
  // new data at close, as for a file that replaced longer contents.
  int64_t length = 0;
  if (IsRegular(out, &length) && length > 0 && ftruncate(out.fd.get(), 0) != 0)
    EndAfter(Failed("write to"), path, "");
  return true;
}

}  // namespace

Stop MAKE_HEADER(OutputFile& out, uint32_t rate, uint32_t bits, int32_t sampleCount) {
  return Write(out, HeaderBytes(rate, bits, sampleCount));
}

Stop WRITE_FILE(OutputFile& out, const Track& track) {
  if (track.totalSamples <= 0) return {};
  // The kernel copies a block about twice as fast when it starts at the same
  // offset within a page as the file position it goes to, so the block is
  // placed in a slightly larger buffer.
  std::vector<uint8_t>& storage = out.storage;
  storage.resize(kBlockBytes + kPageBytes);
  const auto address = reinterpret_cast<uintptr_t>(storage.data());
  const size_t skew = (static_cast<uintptr_t>(out.position) - address) % kPageBytes;
  Stop stop;
  RenderTrack(track, std::span(storage.data() + skew, kBlockBytes),
              [&](std::span<const uint8_t> block) {
                stop.signal = Interruption();
                if (!stop) stop = Write(out, block);
                return !stop;
              });
  if (!stop) stop.signal = Interruption();
  return stop;
}

Stop FIX_SIZE(OutputFile& out, const SizeFields& fields, const ChunkSizes& sizes) {
  uint8_t bytes[4];
  Decon4(static_cast<int32_t>(sizes.data), bytes);
  Stop stop = WriteAll(out.fd.get(), bytes, fields.dataOffset + 4);
  Decon4(static_cast<int32_t>(sizes.riff), bytes);
  if (!stop) stop = WriteAll(out.fd.get(), bytes, 4);
  for (const int64_t fact : fields.factOffsets) {
    if (stop || fields.blockAlign <= 0) break;
    Decon4(static_cast<int32_t>(sizes.data / fields.blockAlign), bytes);
    stop = WriteAll(out.fd.get(), bytes, fact + 8);
  }
  return stop;
}

bool NewFileFits(int64_t dataBytes) { return SizesFit(SizesFor(kDataChunkOffset, dataBytes)); }

void WriteClickTrack(const Track& track, bool trackTooLong, const char* path) {
  if (trackTooLong || !NewFileFits(AppendedSamples(track) * BytesPerSample(track.bits))) {
    std::printf("The track is too long for a WAV file; '%s' was not written.\n", path);
    return;
  }
  const InterruptionGuard guard;
  OutputFile out;
  if (!StartNewFile(out, path)) return;
  Stop stop = MAKE_HEADER(out, track.rate, static_cast<uint32_t>(track.bits), track.totalSamples);
  if (!stop) stop = WRITE_FILE(out, track);
  FinishNewFile(out, stop, track.bits);
}

void WriteSectionTracks(const char* path, uint32_t rate, int32_t bits,
                        std::span<const Track> tracks) {
  const InterruptionGuard guard;
  OutputFile out;
  if (!StartNewFile(out, path)) return;
  // The header counts every section from the start, so that a run that ends
  // early leaves a file whose readers play what it holds.
  const int64_t samples =
      std::accumulate(tracks.begin(), tracks.end(), int64_t{0},
                      [](int64_t sum, const Track& track) { return sum + AppendedSamples(track); });
  Stop stop = MAKE_HEADER(out, rate, static_cast<uint32_t>(bits), static_cast<int32_t>(samples));
  for (const Track& track : tracks) {
    if (!stop) stop = WRITE_FILE(out, track);
  }
  if (!stop) stop = FIX_SIZE(out, {}, SizesFor(kDataChunkOffset, out.position - kHeaderBytes));
  FinishNewFile(out, stop, bits);
}

namespace {

// The fields "+" rewrites (the RIFF size, the data size, every fact count) as
// they stand, to put back.
using SavedFields = std::vector<std::pair<int64_t, std::array<uint8_t, 4>>>;

bool SaveFields(int fd, const SizeFields& fields, SavedFields& saved) {
  saved = {{4, {}}, {fields.dataOffset + 4, {}}};
  std::transform(fields.factOffsets.begin(), fields.factOffsets.end(), std::back_inserter(saved),
                 [](int64_t fact) { return std::pair(fact + 8, std::array<uint8_t, 4>{}); });
  for (auto& [offset, bytes] : saved) {
    if (ReadAll(fd, offset, bytes) != bytes.size()) return false;
  }
  return true;
}

void RestoreFields(int fd, const SavedFields& saved) {
  for (const auto& [offset, bytes] : saved) WriteAll(fd, bytes, offset, Until::kDone);
}

// Returns `fields` with the fact chunks that follow the audio where the plan
// moves them.
SizeFields Moved(SizeFields fields, const AppendPlan& plan) {
  std::transform(fields.factOffsets.begin(), fields.factOffsets.end(), fields.factOffsets.begin(),
                 [&](int64_t fact) { return fact >= plan.keptFrom ? fact + plan.shift : fact; });
  return fields;
}

// Makes what was written to `fd` so far last; `dataOnly` leaves the times.
Stop Sync(int fd, bool dataOnly) {
  while ((dataOnly ? fdatasync(fd) : fsync(fd)) != 0) {
    if (errno != EINTR) return Failed("write to");
  }
  return {};
}

// Copies `bytes` bytes of `from`, starting at `offset`, to the output's
// position: in the kernel, which shares the blocks where the file system can,
// or else through the writer's buffer. An interruption stops it, unless it is
// putting things back (Until::kDone).
Stop CopyInto(OutputFile& out, int from, int64_t offset, int64_t bytes,
              Until until = Until::kInterrupted) {
  constexpr int64_t kCopyBlock = int64_t{64} << 20;
  bool inKernel = true;
  while (bytes > 0) {
    if (const int signal = Interruption(); signal != 0 && until == Until::kInterrupted)
      return {signal};
    const auto want = static_cast<size_t>(std::min(bytes, kCopyBlock));
    ssize_t n;
    if (inKernel) {
      auto in = static_cast<off_t>(offset);
      n = copy_file_range(from, &in, out.fd.get(), nullptr, want, 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
        inKernel = false;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Failed("write to");
    } else {
      out.storage.resize(std::max(out.storage.size(), kBlockBytes));
      const auto block = std::span(out.storage).first(std::min(want, kBlockBytes));
      n = static_cast<ssize_t>(ReadAll(from, offset, block));
      if (n > 0) {
        const auto read = block.first(static_cast<size_t>(n));
        if (const Stop stop = WriteAll(out.fd.get(), read, -1, until); stop) return stop;
      }
    }
    if (n == 0) {  // the file is shorter than it was
      errno = EIO;
      return Failed("read from");
    }
    offset += n;
    bytes -= n;
    out.position += n;
  }
  return {};
}

// "+" onto a file whose audio runs to its end, in place: the new sizes are
// written and synced, the file grows to its new length and that is synced,
// then the samples go in. A crash leaves the old file, a file whose sizes
// count samples still to come (readers play what is there, and the next "+"
// goes after it), or the new one. A stop puts the file back.
void AppendInPlace(OutputFile& out, const Track& track, const SizeFields& fields,
                   const AppendPlan& plan, int64_t length) {
  const int fd = out.fd.get();
  SavedFields saved;
  if (!SaveFields(fd, fields, saved)) {
    if (const int signal = Interruption(); signal != 0)
      EndAfter({signal}, out.path, "nothing was added to " + Quoted(out.path) + ".");
    EndAfter(Failed("read from"), out.path, "");
  }
  const int64_t added = plan.shift;  // nothing is kept after the new audio
  Stop stop{Interruption()};
  if (!stop) stop = FIX_SIZE(out, fields, plan.sizes);
  if (!stop) stop = Sync(fd, true);
  if (!stop && added > 0) {
    if (ftruncate(fd, length + added) != 0) stop = Failed("write to");
    if (!stop) stop = Sync(fd, false);
    out.position = length;
    if (!stop && lseek(fd, out.position, SEEK_SET) < 0) stop = Failed("seek in");
    if (!stop) stop = WRITE_FILE(out, track);
  }
  if (stop) {
    // The old length is made to last before the old sizes come back.
    if (ftruncate(fd, length) == 0 && !Sync(fd, true)) RestoreFields(fd, saved);
    EndAfter(stop, out.path, "nothing was added to " + Quoted(out.path) + ".");
  }
}

enum class Beside { kDone, kCannot };

// "+" onto a file with bytes after its audio: the new file is made beside it
// (the old audio shared or copied, the track, the kept bytes, the sizes),
// given all the old one carries, synced and renamed over it. Returns kCannot,
// having changed nothing, when the new file could not carry the old one's
// links, owner, mode, attributes and flags.
Beside AppendBeside(OutputFile& out, const struct stat& info, const Track& track,
                    const SizeFields& fields, const RiffLayout& layout, const AppendPlan& plan) {
  // Only root gives a file away.
  if (info.st_nlink != 1 || (geteuid() != 0 && info.st_uid != geteuid())) return Beside::kCannot;
  SideFile side;
  if (OpenSideFile(out.place, side) != 0) return Beside::kCannot;
  const int from = out.fd.get();
  OutputFile beside{std::move(side.fd), out.path, {}, 0, std::move(out.storage), true};
  Stop stop = CopyInto(beside, from, 0, layout.audioEnd);
  if (!stop) stop = WRITE_FILE(beside, track);
  const uint8_t zero = 0;
  if (!stop && plan.pad > 0) stop = Write(beside, std::span(&zero, 1));
  if (!stop) stop = CopyInto(beside, from, plan.keptFrom, layout.length - plan.keptFrom);
  if (!stop) stop = FIX_SIZE(beside, Moved(fields, plan), plan.sizes);
  if (!stop) stop.signal = Interruption();
  side.fd = std::move(beside.fd);
  out.storage = std::move(beside.storage);
  // What the file carries is given last, so that nobody the old file lets in
  // can open the new one before it is whole.
  if (!stop && !CarryOver(from, side.fd.get())) {
    DropSideFile(side);
    return Beside::kCannot;
  }
  if (!stop) {
    errno = CommitSideFile(side);
    if (errno != 0) stop = Failed("write to");
  }
  if (stop) {
    DropSideFile(side);
    EndAfter(stop, out.path, "nothing was added to " + Quoted(out.path) + ".");
  }
  return Beside::kDone;
}

// The most of a user's file that "+" holds in memory.
constexpr int64_t kHeldInMemory = int64_t{4} << 20;

// The bytes after the audio, set aside while "+" writes over them in place:
// in memory when they are few, else in an unnamed temporary file.
struct HeldTail {
  std::vector<uint8_t> bytes;
  OutputFile file;
};

// Opens an unnamed file under $TMPDIR, or /tmp.
Fd OpenTemporary() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  Fd fd(open(dir, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600));
  if (!fd && errno != EACCES && errno != ENOSPC) {  // no O_TMPFILE there
    std::string name = std::string(dir) + "/zembrol-tail.XXXXXX";
    fd = Fd(mkostemp(name.data(), O_CLOEXEC));
    if (fd) unlink(name.c_str());
  }
  return fd;
}

// Sets aside `bytes` bytes of `fd` from `offset`. Returns the errno of what
// failed (ENOMEM when memory ran out), or 0; a stop is returned as `stop`.
int Hold(int fd, int64_t offset, int64_t bytes, HeldTail& held, Stop& stop) {
  if (bytes <= kHeldInMemory) {
    try {
      held.bytes.resize(static_cast<size_t>(bytes));
    } catch (const std::bad_alloc&) {
      return ENOMEM;
    }
    if (ReadAll(fd, offset, held.bytes) == held.bytes.size()) return 0;
    stop.signal = Interruption();
    return stop ? 0 : EIO;
  }
  held.file.fd = OpenTemporary();
  if (!held.file.fd) return errno;
  stop = CopyInto(held.file, fd, offset, bytes);
  return stop && stop.failed != nullptr ? stop.error : 0;
}

// Writes `bytes` held bytes from `from` (counted from the start of the held
// ones) at the output's position.
Stop PutBack(OutputFile& out, HeldTail& held, int64_t from, int64_t bytes,
             Until until = Until::kInterrupted) {
  if (held.file.fd) return CopyInto(out, held.file.fd.get(), from, bytes, until);
  const Stop stop =
      WriteAll(out.fd.get(),
               std::span(held.bytes).subspan(static_cast<size_t>(from), static_cast<size_t>(bytes)),
               -1, until);
  if (!stop) out.position += bytes;
  return stop;
}

// "+" in place onto a file with bytes after its audio, where no new file can
// be made beside it: those bytes are set aside while the track goes over them,
// then written after it. A stop (a signal or a failed write) puts the file
// back; a crash may not. Bytes that can't be set aside are refused in a line.
void AppendHoldingTail(OutputFile& out, const Track& track, const SizeFields& fields,
                       const RiffLayout& layout, const AppendPlan& plan) {
  const int fd = out.fd.get();
  const int64_t tail = layout.length - layout.audioEnd;
  HeldTail held;
  Stop stop;
  if (const int error = Hold(fd, layout.audioEnd, tail, held, stop); error != 0) {
    std::printf(
        "%s has %lld bytes after its audio that could not be set aside (%s); nothing was "
        "added.\n",
        Quoted(out.path).c_str(), static_cast<long long>(tail), std::strerror(error));
    return;
  }
  SavedFields oldFields;
  if (!stop && !SaveFields(fd, fields, oldFields)) {
    stop.signal = Interruption();
    if (!stop) EndAfter(Failed("read from"), out.path, "");
  }
  if (stop) EndAfter(stop, out.path, "nothing was added to " + Quoted(out.path) + ".");
  out.position = layout.audioEnd;
  if (lseek(fd, out.position, SEEK_SET) < 0) stop = Failed("seek in");
  if (!stop) stop = WRITE_FILE(out, track);
  const uint8_t zero = 0;
  if (!stop && plan.pad > 0) stop = Write(out, std::span(&zero, 1));
  if (!stop)
    stop = PutBack(out, held, plan.keptFrom - layout.audioEnd, layout.length - plan.keptFrom);
  if (!stop) stop = FIX_SIZE(out, Moved(fields, plan), plan.sizes);
  if (stop) {
    // Back to the old bytes and the old length.
    out.position = layout.audioEnd;
    if (lseek(fd, out.position, SEEK_SET) >= 0 && !PutBack(out, held, 0, tail, Until::kDone) &&
        ftruncate(fd, layout.length) == 0)
      RestoreFields(fd, oldFields);
    EndAfter(stop, out.path, "nothing was added to " + Quoted(out.path) + ".");
  }
}

}  // namespace

void AppendClickTrack(const Track& track, bool trackTooLong, const char* path) {
  const int32_t sampleBytes = BytesPerSample(track.bits);
  const int64_t added = AppendedSamples(track) * sampleBytes;
  if (trackTooLong || !NewFileFits(added)) {
    std::printf("The track is too long for a WAV file; nothing was added to '%s'.\n", path);
    return;
  }
  const InterruptionGuard guard;
  OutputFile out;
  // Another "+" may have replaced the file between the open and the lock.
  do {
    if (!OpenOutput(path, Open::kExisting, out) || !Lock(out, "nothing was added")) return;
  } while (!StillNamed(out.place, out.fd.get()));
  const int fd = out.fd.get();
  struct stat info;
  if (fstat(fd, &info) != 0) EndAfter(Failed("read from"), path, "");
  const int64_t length = S_ISREG(info.st_mode) ? info.st_size : 0;
  const RiffLayout layout = WalkRiff(
      [&](int64_t offset, std::span<uint8_t> bytes) { return ReadAll(fd, offset, bytes); }, length);
  auto refuse = [&](const std::string& reason) {
    std::printf("%s %s; nothing was added.\n", Quoted(path).c_str(), reason.c_str());
  };
  if (layout.dataOffset < 0) Fatal(stdout, 2, kNoDataChunk);
  if (const std::string refusal = AppendRefusal(layout, track.rate, track.bits); !refusal.empty())
    return refuse(refusal);
  const AppendPlan plan = PlanAppend(layout, added);
  if (!SizesFit(plan.sizes)) return refuse("would grow too long for a WAV file");

  const SizeFields fields{layout.dataOffset, layout.factOffsets, sampleBytes};
  if (layout.audioEnd == length) {
    AppendInPlace(out, track, fields, plan, length);
  } else if (AppendBeside(out, info, track, fields, layout, plan) == Beside::kCannot) {
    AppendHoldingTail(out, track, fields, layout, plan);
  }
  if (!out.fd.Close()) EndAfter(Failed("write to"), path, "");
  EndIfInterrupted(path);
}

}  // namespace zembrol
