// The user's settings and the settings file: one key, a tab and a value per
// line; the reader accepts any order, blanks for the tab and unknown words.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/file.h"

namespace zembrol {

inline constexpr char kSettingsFile[] = "rczembrol.txt";

// Fixed-size, zero-terminated text fields keep their C limits: device 15,
// save 63 and map 127 characters.
struct Settings {
  uint32_t rate = 44100;
  int32_t bits = 24;
  char device[16] = "default";
  float tempo = 120.0f;
  float Hz = 60.0f;
  float atime = 10.0f;
  int32_t meter = 4;
  int32_t meas = 48;
  char save[64] = "click.wav";
  char map[128] = "tmap.txt";
};

// Stores every key found in `text` into `settings`; other fields keep their
// values. The text ends at its first NUL byte.
void ParseSettingsText(std::string_view text, Settings& settings);

// Reads the whole open settings file into `settings` and closes `file`.
void GET_PARAMS(File file, Settings& settings);

// Returns the ten lines that WriteParams stores.
std::string FormatSettings(const Settings& settings);

// Replaces rczembrol.txt in the working directory whole, through a side file
// renamed over it, and prints "Saved Settings"; a file the new one could not
// stand in for (another name linked to it, an owner, attribute or flag that
// can't be given) is written over in place instead. A symbolic link is
// followed, and stays, only when it is the user's or the directory owner's;
// another's is refused in one line. A failure leaves the old file (or its
// absence) as it was and prints one line giving the reason; the run goes on.
// A stop signal (see interrupt.h) ends the program afterwards with status
// 128 + the signal, the save finished or abandoned.
void WriteParams(const Settings& settings);

// Copies `value` into a text field when it fits with its terminating zero.
// Returns false, leaving the field as it was, when it does not.
template <size_t N>
bool StoreText(char (&field)[N], std::string_view value) {
  if (value.size() >= N) return false;
  value.copy(field, value.size());
  field[value.size()] = '\0';
  return true;
}

}  // namespace zembrol
