// Playback through libasound with no sound card: a private configuration
// whose PCM `cap` stores the raw frames it is given, and the frames and
// measure lines a play is expected to give.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e.h"
#include "golden.h"

namespace zembrol::test {

// What the file plugin over null grants for a request of 1024 / 2048 frames,
// measured at 8000 to 96000 Hz for both sample formats.
constexpr int64_t kGrantedPeriod = 1024;

// A private ALSA configuration: `cap` captures everything, `cap16` takes S16
// only, and `capn` writes each opening to a file of its own (capn.raw,
// capn.raw.0001, ...).
class Device {
 public:
  Device() {
    const std::string d = dir_.path().string();
    WriteFile(dir_ / "alsa.conf", "pcm.cap { type file; slave { pcm { type null } }; file \"" + d +
                                      "/cap.raw\"; format \"raw\"; truncate true }\n"
                                      "pcm.cap16 { type file; slave.pcm { type upmix; channels 4; "
                                      "slave.pcm { type null } }; file \"" +
                                      d +
                                      "/cap16.raw\"; format \"raw\" }\n"
                                      "pcm.capn { type file; slave { pcm { type null } }; file \"" +
                                      d + "/capn.raw\"; format \"raw\"; truncate false }\n");
    env_ = {{"ALSA_CONFIG_PATH", d + "/alsa.conf"}};
  }
  const std::map<std::string, std::string>& env() const { return env_; }
  std::filesystem::path capture() const { return dir_ / "cap.raw"; }
  std::filesystem::path dir() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::map<std::string, std::string> env_;
};

// Frames the program hands to the device: whole periods strictly below `total`.
inline int64_t FramesPlayed(int32_t total) {
  return total <= kGrantedPeriod ? 0 : (total - 1) / kGrantedPeriod * kGrantedPeriod;
}

// The click every `beatLength` frames with zero samples between, `frames` long.
inline std::string Pattern(const std::vector<uint8_t>& click, int bytesPerSample,
                           int32_t beatLength, int64_t frames) {
  std::string out;
  const int64_t clickSamples = static_cast<int64_t>(click.size()) / bytesPerSample;
  for (int64_t f = 0; f < frames; ++f) {
    const int64_t i = f % beatLength;
    for (int b = 0; b < bytesPerSample; ++b)
      out += i < clickSamples ? static_cast<char>(click[i * bytesPerSample + b]) : '\0';
  }
  return out;
}

// Measure lines: the first, then one whenever a measure's last beat has been played.
inline std::string Measures(int32_t beatLength, int32_t meter, int64_t frames) {
  std::string out = "\tMeasure  1\n";
  for (int64_t beat = 1; meter > 0 && beat * beatLength <= frames; ++beat)
    if (beat % meter == 0)
      out.append("\tMeasure  ").append(std::to_string(1 + beat / meter)) += '\n';
  return out;
}

}  // namespace zembrol::test
