// A move-only owner of a stdio stream: the stream is closed when its owner
// goes, or earlier by Close(), which reports whether the close succeeded.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace zembrol {

class File {
 public:
  File() = default;
  explicit File(std::FILE* stream) : stream_(stream) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept : stream_(std::exchange(other.stream_, nullptr)) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      stream_ = std::exchange(other.stream_, nullptr);
    }
    return *this;
  }
  ~File() { Close(); }

  static File Open(const char* path, const char* mode) { return File(std::fopen(path, mode)); }

  std::FILE* get() const { return stream_; }
  explicit operator bool() const { return stream_ != nullptr; }

  // Returns true when the stream closed cleanly (and true when none was open).
  bool Close() {
    if (stream_ == nullptr) return true;
    return std::fclose(std::exchange(stream_, nullptr)) == 0;
  }

 private:
  std::FILE* stream_ = nullptr;
};

// A move-only owner of a file descriptor, closed when its owner goes or
// earlier by Close(), which reports whether the close succeeded.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() { Close(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // Returns true when the descriptor closed cleanly (and true when none was open).
  bool Close() {
    if (fd_ < 0) return true;
    return ::close(std::exchange(fd_, -1)) == 0;
  }

 private:
  int fd_ = -1;
};

// Returns whether `a` and `b` name one file: the same device and inode, or,
// when either does not exist, the same name.
bool SameFile(const char* a, const char* b);

// Appends the stream's text to `text`. A text ends at its first NUL byte, so
// reading stops after the chunk that holds one (a file linked to /dev/zero
// ends there too). Returns false on a read error.
inline bool ReadText(std::FILE* stream, std::string& text) {
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
    text.append(chunk, n);
    if (std::memchr(chunk, '\0', n) != nullptr) break;
  }
  return !std::ferror(stream);
}

}  // namespace zembrol
