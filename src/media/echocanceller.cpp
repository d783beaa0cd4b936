#include "media/echocanceller.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "media/echospeex.h"
#include "platform/errors.h"

namespace qv {

namespace {

// How often (in blocks) the filter is asked where the echo lies: reading it
// costs a few inverse transforms.
constexpr int kDelayEveryBlocks = 10;

bool RateTaken(int rate) { return rate == 8000 || rate == 16000 || rate == 32000 || rate == 48000; }

}  // namespace

TEchoCanceller::TEchoCanceller(int sampleRate, TEchoProcessorFactory factory)
    : rate_(sampleRate),
      block_(sampleRate * kBlockMs / 1000),
      reference_(sampleRate, sampleRate * kHistoryMs / 1000) {
  if (!RateTaken(sampleRate)) throw Exception("The echo canceller does not take " + std::to_string(sampleRate) + " Hz");
  if (!factory) factory = &TSpeexEchoProcessor::Create;
  processor_ = factory(rate_, block_, rate_ * kFilterMs / 1000);
  far_.resize(size_t(block_));
  out_.resize(size_t(block_));
}

TEchoCanceller::~TEchoCanceller() = default;

void TEchoCanceller::SetEnabled(bool value) { enabled_ = value; }

void TEchoCanceller::Capture(int16_t* samples, int count, TMediaTimeNs captureTime) {
  const bool enabled = enabled_.load();
  if (enabled && !wasEnabled_) processor_->Reset();
  wasEnabled_ = enabled;
  const int64_t blockNs = int64_t(kBlockMs) * 1000000;
  const int guard = rate_ * kGuardMs / 1000;
  for (int at = 0; at + block_ <= count; at += block_) {
    // The reference is followed even while off, so that the timing is known
    // the moment the canceller comes on.
    reference_.Fill(captureTime + (at / block_) * blockNs, block_, guard + shift_, far_.data());
    if (!enabled) continue;
    processor_->Process(samples + at, far_.data(), out_.data());
    WatchRemoval(samples + at);
    std::memcpy(samples + at, out_.data(), sizeof(int16_t) * size_t(block_));
    if (++blocksSinceDelay_ >= kDelayEveryBlocks) {
      blocksSinceDelay_ = 0;
      FollowEcho(guard);
    }
  }
}

// The timing leaves out the device's latency and the way through the room,
// and the filter learns a long room slowly: one that first has to learn 100 ms
// of nothing before the echo begins removes ten to twenty decibels less in
// its first seconds. So once the filter has found where the echo starts, twice
// in the same place, the reference is taken that much earlier, less a margin,
// and the filter learns the room again, now at its start. An echo that came
// earlier (another device) is followed back the same way while it is still in
// the filter, once it stayed in its new place for kMoveBackMs (a filter that
// has just begun to learn shows its first taps for a moment); one that left
// the filter is found by WatchRemoval.
void TEchoCanceller::FollowEcho(int guard) {
  const int peak = processor_->EchoPeak();
  if (peak < 0) return;
  // The reference is taken guard + shift samples early: the echo lies that
  // much further behind the playout than where the filter sees it.
  echoDelayMs_ = int(int64_t(peak + guard + shift_) * 1000 / rate_);
  const int margin = rate_ * kEchoMarginMs / 1000;
  const int tolerance = rate_ * 2 / 1000;
  const bool steady = lastPeak_ >= 0 && std::abs(peak - lastPeak_) <= tolerance;
  lastPeak_ = peak;
  const int checkMs = kDelayEveryBlocks * kBlockMs;
  steadyChecks_ = steady ? steadyChecks_ + 1 : 0;
  if (!steady) return;
  const bool later = peak > margin + block_;
  const bool earlier = peak < margin / 2 && shift_ > 0 && steadyChecks_ * checkMs >= kMoveBackMs;
  if (!later && !earlier) return;
  const int most = rate_ * (kHistoryMs - kFilterMs) / 1000 - guard;
  Refocus(std::clamp(shift_ + peak - margin, 0, most));
}

// A filter that lost the room still shows the place it learnt, so the
// removal itself is watched: while the reference is taken early, the echo
// removed in each second in which the far end spoke and the microphone heard
// something. Three such seconds in a row with less than 6 dB removed (the
// echo left the filter, or the near talker spoke through all of them) and
// the search starts again from the devices' times; a filter that just began
// to learn has removed more than that by its second second.
void TEchoCanceller::WatchRemoval(const int16_t* near) {
  if (shift_ == 0) return;
  double farEnergy = 0, nearEnergy = 0, outEnergy = 0;
  for (int i = 0; i < block_; ++i) {
    farEnergy += double(far_[size_t(i)]) * far_[size_t(i)];
    nearEnergy += double(near[i]) * near[i];
    outEnergy += double(out_[size_t(i)]) * out_[size_t(i)];
  }
  // -50 dBFS: a far end and a microphone that are not silent.
  const double floor = double(block_) * 100.0 * 100.0;
  if (farEnergy < floor || nearEnergy < floor) return;
  nearSum_ += nearEnergy;
  outSum_ += outEnergy;
  if (++activeBlocks_ * kBlockMs < 1000) return;
  lostSeconds_ = nearSum_ < 4 * outSum_ ? lostSeconds_ + 1 : 0;
  activeBlocks_ = 0;
  nearSum_ = outSum_ = 0;
  if (lostSeconds_ * 1000 >= kLostMs) Refocus(0);
}

void TEchoCanceller::Refocus(int shift) {
  lostSeconds_ = activeBlocks_ = 0;
  nearSum_ = outSum_ = 0;
  steadyChecks_ = 0;
  if (shift == shift_) return;
  shift_ = shift;
  lastPeak_ = -1;
  processor_->Reset();
}

}  // namespace qv
