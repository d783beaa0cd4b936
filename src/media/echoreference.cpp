#include "media/echoreference.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace qv {

TMediaTimeNs MediaTimeNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void TClockFloor::Note(double offset) {
  notes_[count_ % kNotes] = offset;
  ++count_;
  const int kept = std::min(count_, kNotes);
  value_ = notes_[0];
  for (int i = 1; i < kept; ++i) value_ = std::min(value_, notes_[i]);
}

TEchoReference::TEchoReference(int sampleRate, int historySamples)
    : rate_(sampleRate),
      samplesPerNs_(sampleRate / 1e9),
      ring_(size_t(std::max(historySamples, sampleRate / 10))),
      relock_(sampleRate * 0.004) {}

void TEchoReference::Played(const int16_t* samples, int count, TMediaTimeNs playTime, bool continues) {
  if (count <= 0) return;
  const int64_t size = int64_t(ring_.size());
  std::lock_guard guard(lock_);
  double offset = double(playTime) * samplesPerNs_ - double(written_);
  if (!continues && playFloor_.Known()) {
    // The device ran dry: what it plays now starts after a silence, which
    // the ring keeps as silence so that index and time stay in step.
    const double gap = std::floor(offset - playFloor_.Value());
    if (gap > 0 && gap < double(size)) {
      const int64_t n = int64_t(gap);
      for (int64_t i = 0; i < n; ++i) ring_[size_t((written_ + i) % size)] = 0;
      written_ += n;
      offset -= double(n);
    } else if (gap >= double(size)) {
      std::fill(ring_.begin(), ring_.end(), int16_t(0));
      playFloor_.Restart();
    } else {
      playFloor_.Restart();  // it starts earlier than we thought: believe it
    }
  }
  playFloor_.Note(offset);
  for (int i = 0; i < count; ++i) ring_[size_t((written_ + i) % size)] = samples[i];
  written_ += count;
}

void TEchoReference::RestartCapture() {
  captureFloor_.Restart();
  captured_ = 0;
  haveLag_ = false;
}

void TEchoReference::Fill(TMediaTimeNs captureTime, int count, int guardSamples, int16_t* out) {
  if (count <= 0) return;
  captureFloor_.Note(double(captureTime) * samplesPerNs_ - double(captured_));
  const int64_t size = int64_t(ring_.size());
  {
    std::lock_guard guard(lock_);
    if (playFloor_.Known()) {
      // Capture sample c was taken when reference sample c + lag played.
      const double target = captureFloor_.Value() - playFloor_.Value();
      if (!haveLag_ || std::fabs(target - double(lag_)) > relock_) {
        lag_ = int64_t(std::llround(target));
        haveLag_ = true;
      }
    }
    const int64_t first = captured_ + lag_ - guardSamples;
    for (int i = 0; i < count; ++i) {
      const int64_t index = first + i;
      const bool kept = haveLag_ && index >= 0 && index < written_ && index >= written_ - size;
      out[i] = kept ? ring_[size_t(index % size)] : int16_t(0);
    }
  }
  captured_ += count;
  publishedLag_ = haveLag_ ? int(std::clamp<int64_t>(lag_, INT32_MIN, INT32_MAX)) : 0;
}

}  // namespace qv
