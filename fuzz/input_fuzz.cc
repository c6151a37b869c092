// Reads words and numbers from a stream of arbitrary bytes in an order the
// first byte chooses, as the console dialogue does, and checks every read
// against a model that applies the C library's own conversions to the text
// that remains: a word is read whole or refused whole, a number is the longest
// prefix of a word of at most 127 characters that strtoll (base 0) or strtof
// converts, the rest of the word stays, and a longer number word is consumed
// whole. What the reader holds back never passes its bound.
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "command/input.h"

namespace {

using zembrol::NumberStatus;
using zembrol::WordStatus;

void Check(bool ok) {
  if (!ok) std::abort();
}

// The longest number word, written out here rather than taken from the reader.
constexpr size_t kLongestNumber = 127;

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Skips the white space of `rest` and returns the word that follows.
std::string NextWord(std::string_view& rest) {
  while (!rest.empty() && IsSpace(rest.front())) rest.remove_prefix(1);
  size_t length = 0;
  while (length < rest.size() && !IsSpace(rest[length])) ++length;
  return std::string(rest.substr(0, length));
}

// How many characters of `word` strtoll in base 0 takes, and their value
// clamped to 32 bits.
size_t IntPrefix(const std::string& word, int32_t& value) {
  char* end = nullptr;
  const long long n = std::strtoll(word.c_str(), &end, 0);
  size_t taken = static_cast<size_t>(end - word.c_str());
  value = static_cast<int32_t>(n < INT32_MIN ? INT32_MIN : n > INT32_MAX ? INT32_MAX : n);
  // A C23 library also takes "0b" and binary digits; the dialogue does not.
  const size_t zero = (word[0] == '+' || word[0] == '-') ? 1 : 0;
  if (taken > zero + 1 && word[zero] == '0' && (word[zero + 1] | 0x20) == 'b') {
    taken = zero + 1;
    value = 0;
  }
  return taken;
}

size_t FloatPrefix(const std::string& word, float& value) {
  char* end = nullptr;
  value = std::strtof(word.c_str(), &end);
  return static_cast<size_t>(end - word.c_str());
}

// Equal floats; a nan matches any nan of its sign (its payload may be dropped).
bool SameFloat(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) {
    return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  }
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned plan = data[0];
  std::FILE* file = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "r");
  if (file == nullptr) return 0;
  zembrol::Input in(file);
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  for (unsigned step = 0; step < 4096; ++step) {
    const unsigned op = (plan >> (2 * (step % 4))) & 3;
    const std::string word = NextWord(rest);
    if (op == 0 || op == 3) {
      const size_t limit = op == 0 ? 7 : 15;
      const zembrol::Word read = zembrol::ReadWord(in, limit);
      if (word.empty()) {
        Check(read.status == WordStatus::kEnd && read.text.empty());
      } else if (word.size() <= limit) {
        Check(read.status == WordStatus::kOk && read.text == word);
      } else {
        Check(read.status == WordStatus::kTooLong && read.text.empty());
      }
      rest.remove_prefix(word.size());
    } else if (op == 1) {
      int32_t value = -7;
      const NumberStatus status = zembrol::ReadInt(in, value);
      int32_t expected = 0;
      const bool tooLong = word.size() > kLongestNumber;
      const size_t taken = tooLong ? word.size() : word.empty() ? 0 : IntPrefix(word, expected);
      if (word.empty()) {
        Check(status == NumberStatus::kEnd && value == -7);
      } else if (tooLong) {
        Check(status == NumberStatus::kTooLong && value == -7);
      } else if (taken == 0) {
        Check(status == NumberStatus::kNoNumber && value == -7);
      } else {
        Check(status == NumberStatus::kOk && value == expected);
      }
      rest.remove_prefix(taken);
    } else {
      float value = -7.0f;
      const NumberStatus status = zembrol::ReadFloat(in, value);
      float expected = 0.0f;
      const bool tooLong = word.size() > kLongestNumber;
      const size_t taken = tooLong ? word.size() : word.empty() ? 0 : FloatPrefix(word, expected);
      if (word.empty()) {
        Check(status == NumberStatus::kEnd && value == -7.0f);
      } else if (tooLong) {
        Check(status == NumberStatus::kTooLong && value == -7.0f);
      } else if (taken == 0) {
        Check(status == NumberStatus::kNoNumber && value == -7.0f);
      } else {
        Check(status == NumberStatus::kOk && SameFloat(value, expected));
      }
      rest.remove_prefix(taken);
    }
    Check(in.pending.size() <= kLongestNumber + 1);
    if (word.empty()) break;
  }
  std::fclose(file);
  return 0;
}
