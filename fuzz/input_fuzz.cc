// Reads words and numbers from a stream of arbitrary bytes in an order the
// first byte chooses, as the console dialogue does: no word may pass its
// limit, and a refused word must never leave characters for the next read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "command/input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned plan = data[0];
  std::FILE* in = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "r");
  if (in == nullptr) return 0;
  for (unsigned step = 0; step < 4096; ++step) {
    const unsigned op = (plan >> (2 * (step % 4))) & 3;
    if (op == 0 || op == 3) {
      const size_t limit = op == 0 ? 7 : 15;
      const zembrol::Word word = zembrol::ReadWord(in, limit);
      if (word.text.size() > limit) std::abort();
      if (word.status != zembrol::WordStatus::kOk && !word.text.empty()) std::abort();
      if (word.status == zembrol::WordStatus::kOk && word.text.empty()) std::abort();
      if (word.status != zembrol::WordStatus::kEnd) {
        // The word was read whole: what follows is white space or the end.
        const int next = std::getc(in);
        if (next != EOF && next != ' ' && (next < '\t' || next > '\r')) std::abort();
        if (next != EOF) std::ungetc(next, in);
      }
      if (word.status == zembrol::WordStatus::kEnd) break;
    } else {
      int i = -7;
      float f = -7.0f;
      const zembrol::NumberStatus status =
          op == 1 ? zembrol::ReadInt(in, i) : zembrol::ReadFloat(in, f);
      if (status != zembrol::NumberStatus::kOk && (i != -7 || f != -7.0f)) std::abort();
      if (status == zembrol::NumberStatus::kEnd) break;
      // scanf leaves an unconvertible character in the stream: skip it.
      if (status == zembrol::NumberStatus::kNoNumber && std::getc(in) == EOF) break;
    }
  }
  std::fclose(in);
  return 0;
}
