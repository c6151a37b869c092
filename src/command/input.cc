#include "command/input.h"

#include <cctype>

namespace zembrol {

Word ReadWord(std::FILE* in, size_t limit) {
  Word word;
  int c;
  do {
    c = std::getc(in);
  } while (c != EOF && std::isspace(c));
  if (c == EOF) return word;

  word.status = WordStatus::kOk;
  for (; c != EOF && !std::isspace(c); c = std::getc(in)) {
    if (word.status != WordStatus::kOk) continue;
    if (word.text.size() == limit) {
      word.status = WordStatus::kTooLong;
      word.text.clear();
    } else {
      word.text.push_back(static_cast<char>(c));
    }
  }
  // scanf("%s") leaves the white space that ended the word in the stream.
  if (c != EOF) std::ungetc(c, in);
  return word;
}

namespace {

template <typename T>
NumberStatus Scan(std::FILE* in, const char* format, T& value) {
  T read{};
  int n = std::fscanf(in, format, &read);
  if (n == 1) {
    value = read;
    return NumberStatus::kOk;
  }
  return n == EOF ? NumberStatus::kEnd : NumberStatus::kNoNumber;
}

}  // namespace

NumberStatus ReadInt(std::FILE* in, int& value) { return Scan(in, "%i", value); }

NumberStatus ReadFloat(std::FILE* in, float& value) { return Scan(in, "%f", value); }

}  // namespace zembrol
