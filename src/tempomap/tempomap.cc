#include "tempomap/tempomap.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/fatal.h"
#include "base/file.h"
#include "base/numbers.h"

namespace zembrol {
namespace {

constexpr std::string_view kKeyword = "tmap";
constexpr std::string_view kKeywordEnds = "\t\n";
constexpr std::string_view kFieldEnd = "\t";
constexpr std::string_view kMeasuresEnd = "\n";

// The unread rest of a text that is cut into tokens.
struct TokenCursor {
  std::string_view text;
  size_t pos = 0;
};

// Returns the next token, as strtok would with `delimiters`: leading
// delimiters are skipped and the one that ends the token is consumed.
// Returns std::nullopt once the text is exhausted.
std::optional<std::string_view> NextToken(TokenCursor& cursor, std::string_view delimiters) {
  const size_t start = cursor.text.find_first_not_of(delimiters, cursor.pos);
  if (start == std::string_view::npos) {
    cursor.pos = cursor.text.size();
    return std::nullopt;
  }
  const size_t end = cursor.text.find_first_of(delimiters, start);
  if (end == std::string_view::npos) {
    cursor.pos = cursor.text.size();
    return cursor.text.substr(start);
  }
  cursor.pos = end + 1;
  return cursor.text.substr(start, end - start);
}

// strtod, narrowed to single precision; 0 when the field holds no number.
float ToTempo(std::string_view field) {
  const std::string text(field);
  return NarrowToFloat(std::strtod(text.c_str(), nullptr));
}

// strtol in base 10, clamped to the signed 32-bit range.
int32_t ToInt32(std::string_view field) {
  const std::string text(field);
  return static_cast<int32_t>(ReadClampedInteger(text.c_str(), 10, INT32_MIN, INT32_MAX).value);
}

}  // namespace

TempoMap ParseTempoMap(std::string_view text) {
  TempoMap map;
  TokenCursor cursor{text.substr(0, text.find('\0'))};
  std::optional<std::string_view> token = NextToken(cursor, kKeywordEnds);
  while (token) {
    if (*token != kKeyword) {
      token = NextToken(cursor, kKeywordEnds);
      continue;
    }
    const std::optional<std::string_view> tempo = NextToken(cursor, kFieldEnd);
    const std::optional<std::string_view> beats =
        tempo ? NextToken(cursor, kFieldEnd) : std::nullopt;
    const std::optional<std::string_view> measures =
        beats ? NextToken(cursor, kMeasuresEnd) : std::nullopt;
    if (!measures) break;  // the text ended within the entry: it is ignored
    if (map.count == TempoMap::kCapacity) {
      map.truncated = true;
      break;
    }
    ++map.count;
    map.entries[map.count] = {ToTempo(*tempo), ToInt32(*beats), ToInt32(*measures)};
    // The measures token may itself be the keyword of the next entry.
    token = measures;
  }
  return map;
}

std::optional<TempoMap> ReadTempoMap(const char* path) {
  File file = File::Open(path, "r");
  if (!file) {
    std::printf("Could not open tempo map file '%s': %s\n", path, std::strerror(errno));
    return std::nullopt;
  }
  std::string text;
  const bool read = ReadText(file.get(), text);
  const int readError = errno;
  if (!read) {
    std::printf("Could not read tempo map file '%s': %s\n", path, std::strerror(readError));
    return std::nullopt;
  }
  file.Close();

  std::puts("Parsing tmap file..");
  const TempoMap map = ParseTempoMap(text);
  if (map.truncated) {
    std::printf("Only the first %i map entries are used; the rest were ignored.\n",
                TempoMap::kCapacity);
  }
  if (map.count == 0) Fatal(stdout, 2, "Could not find tempo entries in map file.");
  std::printf("Found %i map entries.\n", map.count);
  return map;
}

}  // namespace zembrol
