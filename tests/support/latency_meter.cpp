#include "support/latency_meter.h"

#include <chrono>
#include <cmath>

#include "platform/audio_virtual.h"

namespace qv::test {

namespace {

constexpr int kRate = 8000;
constexpr size_t kWindow = 400;     // 50 ms of played audio is matched
constexpr size_t kMargin = 160;     // the newest 20 ms are left out
constexpr size_t kSearch = 12000;   // looked for in the last 1.5 s of noise
constexpr double kClearMatch = 0.8; // normalised correlation of a found stretch

}  // namespace

TLatencyMeter::TLatencyMeter(int inputDevice, int outputDevice, double seconds)
    : input_(inputDevice), output_(outputDevice) {
  uint32_t state = 12345;
  noise_.resize(size_t(seconds * kRate));
  for (int16_t& v : noise_) {
    state = state * 1664525u + 1013904223u;
    v = int16_t(int32_t(state >> 16) % 16000 - 8000);
  }
  VirtualAudio::SetInputPcm(inputDevice, noise_, kRate, false);
}

std::optional<double> TLatencyMeter::MeasureMs() {
  const std::vector<int16_t> played = VirtualAudio::OutputSamples(output_);
  const uint64_t count = VirtualAudio::OutputSampleCount(output_);
  if (played.size() < kWindow + kMargin || count < kWindow + kMargin) return std::nullopt;
  const int16_t* window = played.data() + played.size() - kMargin - kWindow;
  const uint64_t windowIndex = count - kMargin - kWindow;

  // The newest noise captured so far bounds the search.
  size_t newest = 0;
  VirtualAudio::TTimePoint t;
  for (size_t step = size_t(1) << 20; step > 0; step >>= 1)
    if (newest + step < noise_.size() && VirtualAudio::CaptureTime(input_, newest + step, t)) newest += step;
  if (newest < kWindow) return std::nullopt;

  double windowPower = 0;
  for (size_t i = 0; i < kWindow; ++i) windowPower += double(window[i]) * window[i];
  if (windowPower <= 0) return std::nullopt;
  double best = 0;
  size_t bestAt = 0;
  const size_t first = newest > kSearch ? newest - kSearch : 0;
  for (size_t p = first; p + kWindow <= newest; ++p) {
    double dot = 0, power = 0;
    for (size_t i = 0; i < kWindow; ++i) {
      dot += double(window[i]) * noise_[p + i];
      power += double(noise_[p + i]) * noise_[p + i];
    }
    const double score = power > 0 ? dot / std::sqrt(power * windowPower) : 0;
    if (score > best) {
      best = score;
      bestAt = p;
    }
  }
  if (best < kClearMatch) return std::nullopt;
  VirtualAudio::TTimePoint captured, playedAt;
  if (!VirtualAudio::CaptureTime(input_, bestAt, captured) || !VirtualAudio::PlayTime(output_, windowIndex, playedAt))
    return std::nullopt;
  return std::chrono::duration<double, std::milli>(playedAt - captured).count();
}

}  // namespace qv::test
