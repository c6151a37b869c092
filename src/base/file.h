// A move-only owner of a stdio stream: the stream is closed when its owner
// goes, or earlier by Close(), which reports whether the close succeeded.
#pragma once

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
