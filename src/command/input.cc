#include "command/input.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/numbers.h"

namespace zembrol {
namespace {

bool IsSpace(int c) { return c != EOF && std::isspace(c) != 0; }

int Get(Input& in) {
  if (in.pending.empty()) return std::getc(in.file);
  const auto c = static_cast<unsigned char>(in.pending.back());
  in.pending.pop_back();
  return c;
}

// Reads one number word and lets `convert` take a prefix of it: convert
// returns the length it took and sets the value only when that is not 0. The
// rest of the word goes back to the input.
template <class Convert>
NumberStatus ReadNumber(Input& in, Convert convert) {
  const Word word = ReadWord(in, kLongestWord);
  if (word.status == WordStatus::kEnd) return NumberStatus::kEnd;
  if (word.status == WordStatus::kTooLong) return NumberStatus::kTooLong;
  const size_t taken = convert(word.text.c_str());
  in.pending.append(word.text.rbegin(), word.text.rend() - static_cast<std::ptrdiff_t>(taken));
  return taken == 0 ? NumberStatus::kNoNumber : NumberStatus::kOk;
}

}  // namespace

Word ReadWord(Input& in, size_t limit) {
  Word word;
  int c = Get(in);
  while (IsSpace(c)) c = Get(in);
  if (c == EOF) return word;
  word.status = WordStatus::kOk;
  for (; c != EOF && !IsSpace(c); c = Get(in)) {
    if (word.text.size() == limit) word.status = WordStatus::kTooLong;
    if (word.status == WordStatus::kOk) word.text.push_back(static_cast<char>(c));
  }
  if (word.status == WordStatus::kTooLong) word.text.clear();
  if (c != EOF) in.pending.push_back(static_cast<char>(c));  // the white space after the word
  return word;
}

NumberStatus ReadInt(Input& in, int32_t& value) {
  return ReadNumber(in, [&value](const char* text) {
    const ClampedInteger number = ReadClampedInteger(text, 0, INT32_MIN, INT32_MAX);
    if (number.length != 0) value = static_cast<int32_t>(number.value);
    return number.length;
  });
}

NumberStatus ReadFloat(Input& in, float& value) {
  return ReadNumber(in, [&value](const char* text) {
    char* end = nullptr;
    const float number = std::strtof(text, &end);
    const auto length = static_cast<size_t>(end - text);
    if (length != 0) value = number;
    return length;
  });
}

}  // namespace zembrol
