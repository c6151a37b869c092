#include "playback/playback.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

#include "base/extended.h"
#include "base/fatal.h"
#include "base/samples.h"
#include "playback/realtime.h"

namespace zembrol {
namespace {

constexpr snd_pcm_uframes_t kPeriodRequest = 1024;
constexpr snd_pcm_uframes_t kBufferRequest = 2048;

// A move-only owner of an open PCM: closed when its owner goes, or by Close().
class Pcm {
 public:
  Pcm() = default;
  explicit Pcm(snd_pcm_t* handle) : handle_(handle) {}
  Pcm(const Pcm&) = delete;
  Pcm& operator=(const Pcm&) = delete;
  Pcm(Pcm&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Pcm& operator=(Pcm&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  ~Pcm() { Close(); }

  // Opens `device` for blocking playback; `error` gets snd_pcm_open's result.
  static Pcm Open(const char* device, int& error) {
    snd_pcm_t* handle = nullptr;
    error = snd_pcm_open(&handle, device, SND_PCM_STREAM_PLAYBACK, 0);
    return Pcm(error < 0 ? nullptr : handle);
  }

  snd_pcm_t* get() const { return handle_; }

  void Close() {
    if (handle_ != nullptr) snd_pcm_close(std::exchange(handle_, nullptr));
  }

 private:
  snd_pcm_t* handle_ = nullptr;
};

// Prints "<what>: <ALSA's text for code>" on standard error; ends with status 1.
[[noreturn]] void AlsaFatal(const char* what, int code) {
  char line[256];
  std::snprintf(line, sizeof line, "%s: %s", what, snd_strerror(code));
  Fatal(stderr, 1, line);
}

// Truncates toward zero; nullopt when the value (or NaN) has no 32-bit count.
std::optional<int32_t> TruncatedCount(const Extended& extended) {
  const double value = extended.TowardZero();
  if (!(value > -2147483649.0 && value < 2147483648.0)) return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace

int64_t FramesToPlay(int32_t totalSamples, uint64_t period) {
  if (period == 0 || period > static_cast<uint64_t>(INT32_MAX)) return 0;
  const int64_t size = static_cast<int64_t>(period);
  const int64_t limit = int64_t{totalSamples} - size;
  if (limit <= 0) return 0;
  // Periods are written while fewer than `limit` frames have gone out.
  return (limit + size - 1) / size * size;
}

void FillPeriod(std::span<const uint8_t> beat, int32_t beatLength, int bytesPerSample,
                int32_t beatsPerMeasure, BeatCursor& cursor, std::span<uint8_t> period,
                std::FILE* out) {
  const size_t sampleBytes = static_cast<size_t>(bytesPerSample);
  const size_t slots = period.size() / sampleBytes;
  size_t slot = 0;
  while (slot < slots) {
    const size_t run = std::min(slots - slot, static_cast<size_t>(beatLength - cursor.position));
    std::memcpy(period.data() + slot * sampleBytes,
                beat.data() + static_cast<size_t>(cursor.position) * sampleBytes,
                run * sampleBytes);
    slot += run;
    cursor.position += static_cast<int32_t>(run);
    if (cursor.position < beatLength) break;  // the period is full mid-beat

    cursor.position = 0;
    if (cursor.beatInMeasure == beatsPerMeasure) {
      cursor.measure = static_cast<int32_t>(static_cast<uint32_t>(cursor.measure) + 1u);
      std::fprintf(out, "\tMeasure  %i\n", cursor.measure);
      cursor.beatInMeasure = 1;
    } else if (beatsPerMeasure > 0) {
      // With no positive meter the count could never meet it: it stays put.
      ++cursor.beatInMeasure;
    }
  }
}

void PLAY(std::span<const uint8_t> beat, int32_t beatLength, int32_t totalSamples,
          const char* device, uint32_t rate, int32_t beatsPerMeasure, int32_t firstMeasure,
          int32_t bits) {
  if (beatLength < 1) {
    std::printf("A beat of %i samples cannot be played.\n", beatLength);
    return;
  }
  if (bits != 16 && bits != 24) {
    std::printf("A bit depth of %i cannot be played.\n", bits);
    return;
  }
  const int bytesPerSample = BytesPerSample(bits);
  if (beat.size() / static_cast<size_t>(bytesPerSample) < static_cast<size_t>(beatLength)) {
    std::printf("The beat holds fewer than its %i samples; nothing is played.\n", beatLength);
    return;
  }

  // Asked for before the device opens: the threads a plugin starts there inherit it.
  const RealtimeScheduling realtime;
  const MemoryLock beatLock(beat);
  int error = 0;
  Pcm pcm = Pcm::Open(device, error);
  if (error < 0) AlsaFatal("unable to open pcm device", error);
  snd_pcm_t* handle = pcm.get();

  snd_pcm_hw_params_t* params = nullptr;
  snd_pcm_hw_params_alloca(&params);
  snd_pcm_hw_params_any(handle, params);
  snd_pcm_hw_params_set_access(handle, params, SND_PCM_ACCESS_RW_INTERLEAVED);
  error = snd_pcm_hw_params_set_format(handle, params,
                                       bits == 16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S24_3LE);
  if (error < 0) AlsaFatal("unable to set playback format", error);
  snd_pcm_hw_params_set_channels(handle, params, 1);
  unsigned int rateNear = rate;
  snd_pcm_hw_params_set_rate_near(handle, params, &rateNear, nullptr);
  snd_pcm_uframes_t periodNear = kPeriodRequest;
  snd_pcm_hw_params_set_period_size_near(handle, params, &periodNear, nullptr);
  snd_pcm_uframes_t bufferNear = kBufferRequest;
  snd_pcm_hw_params_set_buffer_size_near(handle, params, &bufferNear);
  error = snd_pcm_hw_params(handle, params);
  if (error < 0) AlsaFatal("unable to set hw parameters", error);

  // The granted buffer size and period time are read but not needed.
  snd_pcm_uframes_t bufferSize = 0;
  snd_pcm_hw_params_get_buffer_size(params, &bufferSize);
  unsigned int periodTime = 0;
  snd_pcm_hw_params_get_period_time(params, &periodTime, nullptr);
  snd_pcm_uframes_t period = 0;
  snd_pcm_hw_params_get_period_size(params, &period, nullptr);

  const int64_t frames = FramesToPlay(totalSamples, period);
  std::vector<uint8_t> buffer(frames > 0 ? period * static_cast<size_t>(bytesPerSample) : 0);
  const MemoryLock bufferLock(buffer);

  snd_pcm_prepare(handle);
  BeatCursor cursor{.position = 0, .beatInMeasure = 1, .measure = firstMeasure};
  std::printf("\tMeasure  %i\n", firstMeasure);
  for (int64_t written = 0; written < frames; written += static_cast<int64_t>(period)) {
    FillPeriod(beat, beatLength, bytesPerSample, beatsPerMeasure, cursor, buffer, stdout);
    std::fflush(stdout);  // every measure line is out before the write blocks
    if (snd_pcm_writei(handle, buffer.data(), period) == -EPIPE) snd_pcm_prepare(handle);
  }
  std::fflush(stdout);
  snd_pcm_drain(handle);
  pcm.Close();
}

std::vector<uint8_t> MAKE_BEAT(std::span<const uint8_t> click, int32_t clickSamples,
                               std::span<const uint8_t> silence, int32_t beatLength,
                               int bytesPerSample) {
  if (beatLength < 1 || bytesPerSample < 1) return {};
  const size_t sampleBytes = static_cast<size_t>(bytesPerSample);
  const size_t length = static_cast<size_t>(beatLength);
  std::vector<uint8_t> beat(length * sampleBytes);
  const size_t clickPart = std::min(
      {length, static_cast<size_t>(std::max(clickSamples, 0)), click.size() / sampleBytes});
  std::copy_n(click.begin(), clickPart * sampleBytes, beat.begin());
  const size_t silenceBytes = std::min(silence.size(), sampleBytes);
  for (size_t i = clickPart; i < length; ++i)
    std::copy_n(silence.begin(), silenceBytes,
                beat.begin() + static_cast<std::ptrdiff_t>(i * sampleBytes));
  return beat;
}

std::optional<std::vector<uint8_t>> BeatToPlay(std::span<const uint8_t> click, int32_t clickSamples,
                                               std::span<const uint8_t> silence, int32_t beatLength,
                                               int bytesPerSample, const std::string& outcome) {
  if (int64_t{beatLength} * bytesPerSample > kMaxBeatBytes) {
    std::printf("A beat of %i samples is too long to play; %s.\n", beatLength, outcome.c_str());
    return std::nullopt;
  }
  try {
    return MAKE_BEAT(click, clickSamples, silence, beatLength, bytesPerSample);
  } catch (const std::bad_alloc&) {
    std::printf("There is not enough memory for a beat of %i samples; %s.\n", beatLength,
                outcome.c_str());
    return std::nullopt;
  }
}

std::optional<int32_t> AuditionBeatLength(uint32_t rate, float tempo) {
  // tempo / 60 is rounded on its own before rate is divided by it.
  const Extended beatsPerSecond = Extended(tempo) / Extended(60.0);
  const std::optional<int32_t> length = TruncatedCount(Extended(rate) / beatsPerSecond);
  if (!length || *length < 1) return std::nullopt;
  return length;
}

std::optional<int32_t> AuditionTotalSamples(uint32_t rate, float atime) {
  return TruncatedCount(Extended(rate) * Extended(atime));  // exact: 32 + 24 significant bits
}

void PlayAudition(const AuditionRequest& request, std::span<const uint8_t> click,
                  int32_t clickSamples, std::span<const uint8_t> silence, int bytesPerSample) {
  const unsigned rate = request.rate;
  const std::optional<int32_t> beatLength = AuditionBeatLength(rate, request.tempo);
  if (!beatLength) {
    std::printf("A tempo of %.1f bpm gives no playable beat at %u Hz; nothing is played.\n",
                static_cast<double>(request.tempo), rate);
    return;
  }
  const std::optional<int32_t> totalSamples = AuditionTotalSamples(rate, request.atime);
  if (!totalSamples) {
    std::printf("An audition length of %.1f sec is out of range at %u Hz; nothing is played.\n",
                static_cast<double>(request.atime), rate);
    return;
  }
  const std::optional<std::vector<uint8_t>> beat =
      BeatToPlay(click, clickSamples, silence, *beatLength, bytesPerSample, "nothing is played");
  if (!beat) return;
  PLAY(*beat, *beatLength, *totalSamples, request.device, rate, request.meter, 1, request.bits);
}

}  // namespace zembrol
