// A click track is the packed click on every beat of a single-precision beat
// grid, a click written whole even past the track's end, and silence between;
// its samples are laid out in large blocks and its length found by arithmetic.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace zembrol {

// One click track to write.
struct Track {
  uint32_t rate = 44100;
  int32_t bits = 24;
  float tempo = 120.0f;
  int32_t totalSamples = 0;
  std::span<const uint8_t> click;  // clickSamples packed samples
  int32_t clickSamples = 0;
  std::span<const uint8_t> silence;  // one packed sample of value 0
};

// Returns the samples per beat, rate / (tempo / 60) rounded to single precision.
float SamplesPerBeat(uint32_t rate, float tempo);

// Returns the number of samples the track holds: the total plus whatever the
// last whole click runs past it; 0 when the total is 0 or less. Costs a few
// thousand grid positions whatever the number of beats.
int64_t AppendedSamples(const Track& track);

// Returns the same number by walking the beat loop beat by beat (slow for
// tracks of many short beats; the reference for AppendedSamples).
int64_t WalkedSamples(const Track& track);

// Lays the samples of `track` into `buffer` and hands every filled buffer, then
// the rest, to `sink`, in order, until the sink returns false. Returns
// AppendedSamples(track) when the sink never stopped it.
// REQUIRES: buffer is not empty; track.click holds clickSamples samples and
// track.silence one sample.
int64_t RenderTrack(const Track& track, std::span<uint8_t> buffer,
                    const std::function<bool(std::span<const uint8_t>)>& sink);

}  // namespace zembrol
