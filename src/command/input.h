// Reads the words and numbers of the console dialogue from one stream: words
// with a bounded reader, numbers with the C library's own scanf conversions.
#pragma once

#include <cstdio>
#include <string>

namespace zembrol {

enum class WordStatus { kOk, kTooLong, kEnd };

struct Word {
  WordStatus status = WordStatus::kEnd;
  std::string text;  // the word when it is at most the limit, else empty
};

// Skips white space and reads one word whole. A word of more than `limit`
// characters is consumed entirely and reported as kTooLong, so no part of it
// is ever read as a following word. kEnd: the input ended before a word.
Word ReadWord(std::FILE* in, size_t limit);

enum class NumberStatus { kOk, kNoNumber, kEnd };

// scanf("%i"): on kNoNumber and kEnd `value` is unchanged and the unread
// characters stay in the stream.
NumberStatus ReadInt(std::FILE* in, int& value);

// scanf("%f"), with the same rules as ReadInt.
NumberStatus ReadFloat(std::FILE* in, float& value);

}  // namespace zembrol
