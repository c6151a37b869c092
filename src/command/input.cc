#include "command/input.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace zembrol {
namespace {

bool IsSpace(int c) { return c != EOF && std::isspace(c) != 0; }

// 0-35 for a digit or letter, else a value no base reaches.
int DigitValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// A character of a nan's n-char-sequence.
bool IsNChar(int c) { return c == '_' || DigitValue(c) < 36; }

int Get(Input& in) {
  if (in.pending.empty()) return std::getc(in.file);
  const auto c = static_cast<unsigned char>(in.pending.back());
  in.pending.pop_back();
  return c;
}

void PutBack(Input& in, int c) {
  if (c != EOF) in.pending.push_back(static_cast<char>(c));
}

// Reads the characters of one number. The characters taken since the longest
// prefix accepted so far, and the one looked at, go back to the input at
// Finish.
class Scanner {
 public:
  explicit Scanner(Input& in) : in_(in) {}

  int Peek() {
    if (!peeked_) {
      next_ = Get(in_);
      peeked_ = true;
    }
    return next_;
  }
  void Take() {
    tail_.push_back(static_cast<char>(Peek()));
    peeked_ = false;
  }
  // Consumes the character looked at without keeping it.
  void Drop() {
    Peek();
    peeked_ = false;
  }
  // Everything taken so far belongs to the number.
  void Accept() {
    tail_.clear();
    accepted_ = true;
  }
  bool accepted() const { return accepted_; }
  const std::string& tail() const { return tail_; }

  // Consumes the taken tail for good: the input goes on with the rest of a
  // word longer than kLongestWord that starts with it.
  void DropTailOfLongWord() {
    tail_.clear();
    in_.longWordNext = true;
  }
  void NoLongWord() { in_.longWordNext = false; }

  // Skips white space; returns false at the end of the input.
  bool SkipSpace() {
    while (IsSpace(Peek())) Drop();
    return Peek() != EOF;
  }

  void Finish() {
    if (peeked_) PutBack(in_, next_);
    peeked_ = false;
    for (auto c = tail_.rbegin(); c != tail_.rend(); ++c) PutBack(in_, static_cast<unsigned char>(*c));
    tail_.clear();
  }

 private:
  Input& in_;
  std::string tail_;
  int next_ = EOF;
  bool peeked_ = false;
  bool accepted_ = false;
};

// Takes the characters of `lower` as long as the input matches them in any
// case; returns whether all matched.
bool TakeLetters(Scanner& s, std::string_view lower) {
  for (char letter : lower) {
    if (std::tolower(s.Peek()) != letter) return false;
    s.Take();
  }
  return true;
}

// Takes an optional sign; returns whether it is a minus.
bool TakeSign(Scanner& s) {
  const int c = s.Peek();
  if (c != '+' && c != '-') return false;
  s.Take();
  return c == '-';
}

// A decimal or hexadecimal mantissa of any length, kept in bounded memory:
// value = digits x radix^scale, where digits holds the first kKept significant
// digits. A float rounds exactly from kKept significant digits and one nonzero
// "sticky" digit standing for any nonzero tail beyond them (a halfway point
// between two floats needs at most 112 decimal or 25 binary digits).
class Mantissa {
 public:
  explicit Mantissa(bool hex) : hex_(hex) {}

  void Add(char digit, bool fraction) {
    if (digits_.empty() && digit == '0') {
      if (fraction) scale_ -= Step();
    } else if (digits_.size() < Kept()) {
      digits_.push_back(digit);
      if (fraction) scale_ -= Step();
    } else {
      if (!fraction) scale_ += Step();
      if (digit != '0') sticky_ = true;
    }
  }

  // A short text that strtof converts to the value times radix^exponent
  // (decimal: 10^exponent; hex: 2^exponent).
  std::string Text(int64_t exponent) const {
    // Beyond this, 201 digits give 0 or infinity all the same.
    constexpr int64_t kLargestExponent = 1'000'000'000;
    std::string digits = digits_.empty() ? "0" : digits_;
    int64_t power = scale_ + exponent;
    if (sticky_) {
      digits.push_back('1');
      power -= Step();
    }
    power = std::clamp(power, -kLargestExponent, kLargestExponent);
    return (hex_ ? "0x" : "") + digits + (hex_ ? "p" : "e") + std::to_string(power);
  }

 private:
  size_t Kept() const { return hex_ ? 32 : 200; }
  int64_t Step() const { return hex_ ? 4 : 1; }

  bool hex_;
  std::string digits_;
  int64_t scale_ = 0;
  bool sticky_ = false;
};

// Exponents saturate here, far beyond any float's range and input's length.
constexpr int64_t kExponentLimit = 1'000'000'000'000'000;

// Scans [digits][.digits][e[sign]digits] or 0x[hex][.hex][p[sign]digits]
// after the sign; returns the accepted prefix's value as a text for strtof,
// or "" when no prefix converts.
std::string ScanFinite(Scanner& s) {
  bool hex = false;
  bool any = false;
  if (s.Peek() == '0') {
    s.Take();
    s.Accept();
    any = true;
    if (std::tolower(s.Peek()) == 'x') {
      s.Take();
      hex = true;
      any = false;
    }
  }
  const int base = hex ? 16 : 10;
  Mantissa mantissa(hex);
  while (DigitValue(s.Peek()) < base) {
    mantissa.Add(static_cast<char>(s.Peek()), false);
    s.Take();
    s.Accept();
    any = true;
  }
  if (s.Peek() == '.') {
    s.Take();
    if (any) s.Accept();
    while (DigitValue(s.Peek()) < base) {
      mantissa.Add(static_cast<char>(s.Peek()), true);
      s.Take();
      s.Accept();
      any = true;
    }
  }
  if (!any) return hex ? "0" : "";  // "0x" without a digit is the number 0

  int64_t exponent = 0;
  if (std::tolower(s.Peek()) == (hex ? 'p' : 'e')) {
    s.Take();
    const bool negative = TakeSign(s);
    int64_t magnitude = 0;
    while (DigitValue(s.Peek()) < 10) {
      if (magnitude < kExponentLimit) magnitude = magnitude * 10 + DigitValue(s.Peek());
      s.Take();
      s.Accept();
      exponent = negative ? -magnitude : magnitude;
    }
  }
  return mantissa.Text(exponent);
}

// Scans "nan" and an optional "(n-char-sequence)" in any case; returns the
// accepted text, or "" when the input does not begin with "nan".
std::string ScanNan(Scanner& s) {
  if (!TakeLetters(s, "nan")) return "";
  s.Accept();
  if (s.Peek() != '(') return "nan";
  s.Take();
  bool longWord = false;
  while (IsNChar(s.Peek())) {
    if (longWord) {
      s.Drop();
      continue;
    }
    s.Take();
    if (s.tail().size() > kLongestWord) {
      s.DropTailOfLongWord();
      longWord = true;
    }
  }
  if (s.Peek() != ')') return "nan";  // the rest stays, or is the long word
  // The sequence closes: it belongs to the number after all. A sequence too
  // long to keep gives the nan without a payload.
  std::string text = longWord ? "nan" : "nan" + s.tail() + ")";
  if (longWord) s.NoLongWord();
  s.Take();
  s.Accept();
  return text;
}

}  // namespace

Word ReadWord(Input& in, size_t limit) {
  Word word;
  int c = EOF;
  if (in.longWordNext) {
    in.longWordNext = false;
    word.status = WordStatus::kTooLong;
    c = Get(in);
  } else {
    do {
      c = Get(in);
    } while (IsSpace(c));
    if (c == EOF) return word;
    word.status = WordStatus::kOk;
  }
  for (; c != EOF && !IsSpace(c); c = Get(in)) {
    if (word.status != WordStatus::kOk) continue;
    if (word.text.size() == limit) {
      word.status = WordStatus::kTooLong;
      word.text.clear();
    } else {
      word.text.push_back(static_cast<char>(c));
    }
  }
  PutBack(in, c);  // the white space that ended the word stays
  return word;
}

NumberStatus ReadInt(Input& in, int32_t& value) {
  if (in.longWordNext) return NumberStatus::kNoNumber;  // it begins with "("
  Scanner s(in);
  if (!s.SkipSpace()) return NumberStatus::kEnd;

  // Beyond the signed 32-bit range the magnitude stops growing.
  constexpr uint64_t kSaturated = uint64_t{1} << 32;
  const bool negative = TakeSign(s);
  int base = 10;
  bool digits = true;
  if (s.Peek() == '0') {
    s.Take();
    s.Accept();
    base = 8;
    if (std::tolower(s.Peek()) == 'x') {
      s.Take();
      base = 16;
      digits = DigitValue(s.Peek()) < 16;  // else the number is the 0
    }
  }
  uint64_t magnitude = 0;
  while (digits && DigitValue(s.Peek()) < base) {
    magnitude = std::min(magnitude * static_cast<uint64_t>(base) +
                             static_cast<uint64_t>(DigitValue(s.Peek())),
                         kSaturated);
    s.Take();
    s.Accept();
  }
  s.Finish();
  if (!s.accepted()) return NumberStatus::kNoNumber;
  const int64_t signedValue =
      negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  value = static_cast<int32_t>(std::clamp<int64_t>(signedValue, INT32_MIN, INT32_MAX));
  return NumberStatus::kOk;
}

NumberStatus ReadFloat(Input& in, float& value) {
  if (in.longWordNext) return NumberStatus::kNoNumber;  // it begins with "("
  Scanner s(in);
  if (!s.SkipSpace()) return NumberStatus::kEnd;

  const bool negative = TakeSign(s);
  std::string number;
  const int first = std::tolower(s.Peek());
  if (first == 'i') {
    if (TakeLetters(s, "inf")) {
      s.Accept();
      number = "inf";
      if (TakeLetters(s, "inity")) s.Accept();
    }
  } else if (first == 'n') {
    number = ScanNan(s);
  } else {
    number = ScanFinite(s);
  }
  s.Finish();
  if (number.empty()) return NumberStatus::kNoNumber;
  value = std::strtof(((negative ? "-" : "") + number).c_str(), nullptr);
  return NumberStatus::kOk;
}

}  // namespace zembrol
