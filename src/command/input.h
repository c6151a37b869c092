// Reads the words and numbers of the console dialogue from one stream: a
// number is the longest prefix of the next word (of at most kLongestWord
// characters) that strtoll (base 0) or strtof converts, and the rest of the
// word stays for the next read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zembrol {

// The longest word limit ReadWord accepts, and the longest number word.
inline constexpr size_t kLongestWord = 127;

// The stream and what has been read from it but not taken.
struct Input {
  explicit Input(std::FILE* file) : file(file) {}

  std::FILE* file;
  // Characters to read before the stream's, the next one last; at most
  // kLongestWord + 1 (a word that was no number and the white space after it).
  std::string pending;
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

// kNoNumber: no prefix of the word converts and the word stays whole.
// kTooLong: the word has more than kLongestWord characters and is consumed.
// kEnd: the input ended before a word.
enum class NumberStatus { kOk, kNoNumber, kTooLong, kEnd };

// Reads the next word and takes its longest prefix that strtoll in base 0
// converts ("0b" is no prefix), clamped to the signed 32-bit range; the rest
// of the word stays in the input. `value` changes only on kOk.
NumberStatus ReadInt(Input& in, int32_t& value);

// As ReadInt, with the prefix that strtof converts and its value.
NumberStatus ReadFloat(Input& in, float& value);

}  // namespace zembrol
