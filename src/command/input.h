// Reads the words and numbers of the console dialogue from one stream: a
// number is the longest prefix of the next word that strtol (base 0) or
// strtof converts, and what a read examined but did not take stays for the
// next read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zembrol {

// The longest word limit ReadWord accepts.
inline constexpr size_t kLongestWord = 127;

// The stream and what has been read from it but not taken. The fields belong
// to the functions below.
struct Input {
  explicit Input(std::FILE* file) : file(file) {}

  std::FILE* file;
  // Characters to read before the stream's, the next one last: at most
  // kLongestWord + 1 (a "nan(" whose sequence does not close).
  std::string pending;
  // The input goes on with a word of more than kLongestWord characters that
  // begins with "(": its start is dropped, the rest is `pending` and the stream.
  bool longWordNext = false;
};

enum class WordStatus { kOk, kTooLong, kEnd };

struct Word {
  WordStatus status = WordStatus::kEnd;
  std::string text;  // the word when it is at most the limit, else empty
};

// Skips white space and reads one word whole. A word of more than `limit`
// characters is consumed entirely and reported as kTooLong, so no part of it
// is ever read as a following word. kEnd: the input ended before a word.
// REQUIRES: limit <= kLongestWord.
Word ReadWord(Input& in, size_t limit);

enum class NumberStatus { kOk, kNoNumber, kEnd };

// Skips white space and takes the longest prefix of the next word that strtol
// in base 0 converts, clamped to the signed 32-bit range; the rest of the word
// stays in the input. kNoNumber: no prefix converts and the word stays whole.
// kEnd: the input ended before a word. On both `value` is unchanged.
NumberStatus ReadInt(Input& in, int32_t& value);

// As ReadInt, with the prefix that strtof converts and its value. A prefix of
// any length gives strtof's value (a "nan(...)" of more than kLongestWord
// characters drops its payload), in a few KiB of memory.
NumberStatus ReadFloat(Input& in, float& value);

}  // namespace zembrol
