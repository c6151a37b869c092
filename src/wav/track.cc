#include "wav/track.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "base/numbers.h"
#include "base/samples.h"

namespace zembrol {
namespace {

// Walks the writer's beat loop: silence(n) for each run of n silence samples and
// click() for each whole click, in order, until stopped() says so. A click
// starts at the first sample index at or above its single-precision position,
// or right after the click before it. Returns the samples laid down.
template <class Silence, class Click, class Stopped>
int64_t WalkTrack(const Track& track, Silence silence, Click click, Stopped stopped) {
  const int64_t total = track.totalSamples;
  if (total <= 0) return 0;
  if (track.clickSamples <= 0) {
    // Empty clicks add no samples: the track is silence from end to end.
    silence(total);
    return total;
  }
  const float perBeat = SamplesPerBeat(track.rate, track.tempo);
  int64_t count = 0;
  float beats = 0.0f;
  float next = 0.0f;
  while (count < total && !stopped()) {
    // NaN positions compare false: silence to the end.
    if (static_cast<double>(count) >= static_cast<double>(next)) {
      beats += 1.0f;
      click();
      count += track.clickSamples;
      if (count >= total) break;
      next = perBeat * beats;
    } else {
      const double start = std::ceil(static_cast<double>(next));
      const int64_t until =
          start < static_cast<double>(total) ? static_cast<int64_t>(start) : total;
      silence(until - count);
      count = until;
    }
  }
  return count;
}

// Collects bytes in a buffer and hands it to the sink whenever it is full. A
// sink that returns false stops the collection: later bytes are dropped.
struct BlockSink {
  std::span<uint8_t> buffer;
  const std::function<bool(std::span<const uint8_t>)>& sink;
  size_t used = 0;
  bool stopped = false;
};

void Flush(BlockSink& out) {
  if (out.used > 0 && !out.stopped) out.stopped = !out.sink(out.buffer.first(out.used));
  out.used = 0;
}

void Put(BlockSink& out, const uint8_t* bytes, size_t n) {
  while (n > 0 && !out.stopped) {
    const size_t k = std::min(n, out.buffer.size() - out.used);
    std::memcpy(out.buffer.data() + out.used, bytes, k);
    out.used += k;
    bytes += k;
    n -= k;
    if (out.used == out.buffer.size()) Flush(out);
  }
}

void Fill(BlockSink& out, uint8_t byte, uint64_t n) {
  while (n > 0 && !out.stopped) {
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, out.buffer.size() - out.used));
    std::memset(out.buffer.data() + out.used, byte, k);
    out.used += k;
    n -= k;
    if (out.used == out.buffer.size()) Flush(out);
  }
}

}  // namespace

int64_t RenderTrack(const Track& track, std::span<uint8_t> buffer,
                    const std::function<bool(std::span<const uint8_t>)>& sink) {
  const auto sampleBytes = static_cast<size_t>(BytesPerSample(track.bits));
  const std::span<const uint8_t> silence = track.silence.first(sampleBytes);
  const std::span<const uint8_t> click =
      track.click.first(static_cast<size_t>(std::max(track.clickSamples, 0)) * sampleBytes);
  const bool uniform =
      std::all_of(silence.begin(), silence.end(), [&](uint8_t b) { return b == silence.front(); });
  BlockSink out{buffer, sink};
  const int64_t samples = WalkTrack(
      track,
      [&](int64_t n) {
        if (uniform && !silence.empty()) {
          Fill(out, silence.front(), static_cast<uint64_t>(n) * sampleBytes);
        } else {
          for (int64_t i = 0; i < n && !out.stopped; ++i) Put(out, silence.data(), silence.size());
        }
      },
      [&] { Put(out, click.data(), click.size()); }, [&] { return out.stopped; });
  Flush(out);
  return samples;
}

float SamplesPerBeat(uint32_t rate, float tempo) {
  return NarrowToFloat(static_cast<double>(rate) / (static_cast<double>(tempo) / 60.0));
}

int64_t WalkedSamples(const Track& track) {
  return WalkTrack(
      track, [](int64_t) {}, [] {}, [] { return false; });
}

namespace {

// AppendedSamples by arithmetic -----------------------------------------------
//
// Click k >= 1 of a track lies on the grid at pos(k) = perBeat x b(k) in single
// precision, where b(k) = min(k, 2^24) is the writer's float beat counter (it
// stops growing at 2^24). With g(k) = ceil(pos(k)) and c the click length,
// click k starts at start(k) = max(start(k - 1) + c, g(k)), start(0) = 0, so
//   start(k) = k c + max(0, max over 1 <= j <= k of f(j)),  f(j) = g(j) - j c.
// The walk stops after the last click K that starts below the total, having
// laid down max(total, start(K) + c) samples. start() grows with k, so K is
// found by bisection; what remains is the running maximum of f.
//
// Within a binade of positions (one float exponent, so one spacing u between
// positions), take P = 1 when u <= 1, else the least P with c P a multiple of u.
// Along j, j + P, j + 2P, ... inside the binade, f changes only where the exact
// product perBeat x j crosses a rounding boundary, and always in the direction
// of perBeat - c: f is monotonic along each such class (with ties to even it
// may alternate between two values when perBeat = c). Each class's maximum is
// therefore among its first two and last two members.

constexpr int64_t kBeatLimit = int64_t{1} << 24;  // the float beat counter stops here

struct Grid {
  float perBeat;
  int64_t click;  // samples, >= 1
};

float Position(const Grid& grid, int64_t k) {
  return grid.perBeat * static_cast<float>(std::min(k, kBeatLimit));
}

// ceil(pos(k)), held at 2^40 for the positions far beyond any total.
int64_t Ceil(const Grid& grid, int64_t k) {
  constexpr double kFar = 0x1p40;
  const double up = std::ceil(static_cast<double>(Position(grid, k)));
  return up < kFar ? static_cast<int64_t>(up) : static_cast<int64_t>(kFar);
}

int64_t Lead(const Grid& grid, int64_t j) { return Ceil(grid, j) - j * grid.click; }

// The beat indices [first, last] whose positions share one float exponent.
struct Binade {
  int64_t first;
  int64_t last;
  int64_t period;
};

// Returns the largest j in [lo, hi] with keep(j), given keep(lo) and that keep
// holds for a prefix of the range.
template <class Keep>
int64_t LastKept(int64_t lo, int64_t hi, Keep keep) {
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo + 1) / 2;
    if (keep(mid)) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo;
}

// The maximum of f over j in [first, last], a part of `binade`.
int64_t MaxLead(const Grid& grid, const Binade& binade, int64_t first, int64_t last) {
  int64_t best = INT64_MIN;
  for (int64_t a = first; a < first + binade.period && a <= last; ++a) {
    const int64_t z = a + (last - a) / binade.period * binade.period;
    for (int64_t j : {a, a + binade.period, z - binade.period, z}) {
      if (j >= a && j <= z) best = std::max(best, Lead(grid, j));
    }
  }
  return best;
}

// The samples laid down for a grid of positive, finite perBeat.
int64_t AppendedOnGrid(const Grid& grid, int64_t total) {
  // Clicks from index `beyond` on start at or past the total: by length alone,
  // or because their grid position already lies there.
  int64_t beyond = (total + grid.click - 1) / grid.click;
  const int64_t lastGridded = std::min(beyond, kBeatLimit);
  if (lastGridded >= 1 && Ceil(grid, lastGridded) >= total) {
    beyond = 1 + LastKept(0, lastGridded - 1,
                          [&](int64_t j) { return j == 0 || Ceil(grid, j) < total; });
  }
  // Binades of the positions of the beats 1 .. min(beyond - 1, 2^24), all below the total.
  const int64_t end = std::min(beyond - 1, kBeatLimit);
  std::vector<Binade> binades;
  std::vector<int64_t> runningMax;  // the maximum of f up to the end of each binade
  for (int64_t j = 1; j <= end;) {
    int exponent = 0;
    std::frexp(Position(grid, j), &exponent);
    const double top = std::ldexp(1.0, exponent);
    const int64_t last =
        LastKept(j, end, [&](int64_t k) { return static_cast<double>(Position(grid, k)) < top; });
    int64_t period = 1;
    if (exponent > 24) {  // a spacing of 2^(exponent - 24) samples
      const int spacingLog = exponent - 24;
      const int shared = std::min(std::countr_zero(static_cast<uint64_t>(grid.click)), spacingLog);
      period = int64_t{1} << (spacingLog - shared);
    }
    binades.push_back({j, last, period});
    const int64_t best = MaxLead(grid, binades.back(), j, last);
    runningMax.push_back(runningMax.empty() ? best : std::max(runningMax.back(), best));
    j = last + 1;
  }
  // start(k) for k < beyond.
  auto start = [&](int64_t k) {
    int64_t lead = 0;
    const int64_t m = std::min(k, kBeatLimit);
    for (size_t b = 0; b < binades.size() && binades[b].first <= m; ++b) {
      if (binades[b].last <= m) {
        lead = std::max(lead, runningMax[b]);
      } else {
        lead = std::max(lead, MaxLead(grid, binades[b], binades[b].first, m));
      }
    }
    return k * grid.click + lead;
  };
  const int64_t lastClick = LastKept(0, beyond - 1, [&](int64_t k) { return start(k) < total; });
  return std::max(total, start(lastClick) + grid.click);
}

}  // namespace

int64_t AppendedSamples(const Track& track) {
  const int64_t total = track.totalSamples;
  if (total <= 0) return 0;
  if (track.clickSamples <= 0) return total;
  const int64_t click = track.clickSamples;
  const float perBeat = SamplesPerBeat(track.rate, track.tempo);
  if (std::isnan(perBeat) || perBeat == std::numeric_limits<float>::infinity()) {
    // One click, then silence: no later position is ever reached.
    return std::max(total, click);
  }
  if (perBeat <= 0) {
    // Every position is already passed: the clicks follow each other.
    return (total + click - 1) / click * click;
  }
  return AppendedOnGrid({perBeat, click}, total);
}

}  // namespace zembrol
