// WAV click tracks: a 44-byte mono PCM header, then the click on every beat of
// a single-precision beat grid with silence in between, written in large blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace zembrol {

// One click track to append.
struct Track {
  uint32_t rate = 44100;
  int32_t bits = 24;
  float tempo = 120.0f;
  int32_t totalSamples = 0;
  std::span<const uint8_t> click;  // clickSamples packed samples
  int32_t clickSamples = 0;
  std::span<const uint8_t> silence;  // one packed sample of value 0
};

// A data chunk must stay below this many bytes: its size plus 36 is the RIFF
// chunk size, a signed 32-bit number.
inline constexpr int64_t kDataLimit = (int64_t{1} << 31) - 36;

// Returns 3 for 24 bits, else bits / 8.
int32_t BytesPerSample(int32_t bits);

// Writes the low byte, then the high byte.
void Decon2(uint16_t value, uint8_t* out);

// Writes the four bytes of `value`, least significant first.
void Decon4(int32_t value, uint8_t* out);

// Creates or empties `path` and writes the 44-byte header for `sampleCount`
// samples. A failed open, write or close prints one line naming the file and
// ends the program with status 2.
void MAKE_HEADER(const char* path, uint32_t rate, uint32_t bits, int32_t sampleCount);

// Returns the samples per beat, rate / (tempo / 60) rounded to single precision.
float SamplesPerBeat(uint32_t rate, float tempo);

// Returns the number of samples WRITE_FILE appends for `track`: the total plus
// whatever the last whole click runs past it; 0 when the total is 0 or less.
// Costs a few thousand grid positions whatever the number of beats.
int64_t AppendedSamples(const Track& track);

// Returns the same number by walking the writer's loop beat by beat (slow for
// tracks of many short beats; the reference for AppendedSamples).
int64_t WalkedSamples(const Track& track);

// Lays the samples of `track` into `buffer` and hands every filled buffer, then
// the rest, to `sink`, in order. Returns AppendedSamples(track).
// REQUIRES: buffer is not empty; track.click holds clickSamples samples and
// track.silence one sample.
int64_t RenderTrack(const Track& track, std::span<uint8_t> buffer,
                    const std::function<void(std::span<const uint8_t>)>& sink);

// Reads up to out.size() bytes at `offset` of a file; returns how many it read.
using ReadBytes = std::function<size_t(int64_t offset, std::span<uint8_t> out)>;

// What "+" finds in an existing file.
struct AppendCheck {
  int64_t dataTag = -1;  // the size fix's data tag; -1 when no even offset 2..15000 holds one
  std::string refusal;   // the line that refuses the append; empty when the track may follow
};

// Walks the RIFF chunks of a file of `length` bytes. A track at `rate` and
// `bits` may be appended only when the fmt chunk is mono integer PCM of that
// rate and depth, the walk reaches the data chunk at the size fix's data tag,
// no chunk follows the data chunk and the bytes after its header are whole
// samples. `path` names the file in the refusal.
AppendCheck CheckAppend(const ReadBytes& read, int64_t length, uint32_t rate, int32_t bits,
                        const char* path);

// Appends `track` at the end of the existing file `path`. A missing file prints
// "The requested filename does not exist!"; a failed seek, write or close prints
// one line naming the file; both end the program with status 2.
void WRITE_FILE(const Track& track, const char* path);

// Sets the RIFF and data chunk sizes of `path` to match its length. No data tag
// at the even offsets 2 to 15000 prints "Can't find data block in wave file!";
// that and every other failure end the program with status 2.
void FIX_SIZE(const char* path);

// The three commands below leave no broken file behind. An interruption
// (SIGINT, SIGTERM, SIGHUP) stops the writing at the next block and a failed
// write, seek or close stops it at once; "w" and "rtm" then cut the file to its
// header and whole samples with both sizes set to match, and "+" cuts it back
// to its old length. An interruption prints one line saying what was kept and
// ends the program with status 128 + the signal; a failure prints its line and
// ends it with status 2.

// The "w" command: refuses a track that is too long for a WAV file with one
// line and returns; otherwise writes the header and the track to `path`.
void WriteClickTrack(const Track& track, bool trackTooLong, const char* path);

// The "+" command: appends the track to `path` and fixes the sizes. A track too
// long by itself or for the file, or a file CheckAppend refuses, is refused
// with one line before the file is touched. A missing file or one without a
// data tag ends the program (status 2), also before anything is written.
void AppendClickTrack(const Track& track, bool trackTooLong, const char* path);

// The writing of "rtm": a header for no samples, every track in turn, then the
// size fix.
void WriteSectionTracks(const char* path, uint32_t rate, int32_t bits,
                        std::span<const Track> tracks);

}  // namespace zembrol
