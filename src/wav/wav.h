// WAV click-track files: "w" and "rtm" write a new file through MAKE_HEADER and
// WRITE_FILE, "+" walks an existing file's chunks and adds a track through
// WRITE_FILE and FIX_SIZE; every command opens its file once, holds an
// exclusive lock on it, and leaves it valid or exactly as it was.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/file.h"
#include "base/place.h"
#include "wav/riff.h"
#include "wav/track.h"

namespace zembrol {

// The output file of one command.
struct OutputFile {
  Fd fd;
  const char* path = "";
  Place place;                   // where it was opened
  int64_t position = 0;          // where the next write goes
  std::vector<uint8_t> storage;  // the writer's block, made by the first WRITE_FILE
  bool toBeSynced = false;       // starts writing each block to disk at once
};

// Why writing stopped early, if it did.
struct Stop {
  int signal = 0;                // the interruption that was noted
  const char* failed = nullptr;  // what failed: "write to", "seek in"
  int error = 0;
  explicit operator bool() const { return signal != 0 || failed != nullptr; }
};

// Writes the 44-byte header for `sampleCount` samples at the position.
Stop MAKE_HEADER(OutputFile& out, uint32_t rate, uint32_t bits, int32_t sampleCount);

// Writes `track` at the position, asking for an interruption before each block.
Stop WRITE_FILE(OutputFile& out, const Track& track);

// Where a file's size fields stand.
struct SizeFields {
  int64_t dataOffset = kDataChunkOffset;  // the data chunk's header
  std::vector<int64_t> factOffsets;       // the fact chunks' headers
  int32_t blockAlign = 0;                 // bytes per frame, for the fact chunks' count
};

// Writes both sizes, and every fact chunk's frame count.
Stop FIX_SIZE(OutputFile& out, const SizeFields& fields, const ChunkSizes& sizes);

// Returns whether a new file with `dataBytes` of audio fits a WAV header.
bool NewFileFits(int64_t dataBytes);

// The three commands. A track too long for a WAV file, a file another process
// is writing, or (for "+") a file that can't take the track is refused with one
// line before the file is touched. An interruption (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGPIPE) stops the writing at the next block and a failed write at
// once: "w" and "rtm" then keep a valid file of whole samples, "+" puts the
// file back as it was; one line says so and the program ends with 128 + the
// signal, or status 2 after a failure. A missing file for "+", one without a
// data chunk, or an output that can't be opened ends the program (status 2).
// A symbolic link in the output's place is followed only when it is the
// user's or the directory owner's; another's is refused in one line.

// The "w" command: the header and the track.
void WriteClickTrack(const Track& track, bool trackTooLong, const char* path);

// The "+" command: the track after the file's audio, the chunks that followed
// the audio kept after it, and the sizes fixed. Whatever ends the process, the
// file is as it was or complete, or, when nothing followed its audio, a valid
// file that holds all of its old audio: when bytes follow the audio, the new
// file is made beside it and renamed over it (in place where that can't keep
// its links, owner, mode, attributes and flags, with the bytes after the
// audio held aside meanwhile); otherwise the sizes go first, then the samples.
void AppendClickTrack(const Track& track, bool trackTooLong, const char* path);

// The writing of "rtm": a header for all the sections, every track in turn, then the
// size fix.
void WriteSectionTracks(const char* path, uint32_t rate, int32_t bits,
                        std::span<const Track> tracks);

}  // namespace zembrol
