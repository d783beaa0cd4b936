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

TEchoReference::TEchoReference(int sampleRate, int historySamples)
    : rate_(sampleRate),
      samplesPerNs_(sampleRate / 1e9),
      ring_(size_t(std::max(historySamples, sampleRate / 10))),
      relock_(sampleRate * 0.001) {}

int64_t TEchoReference::Played(const int16_t* samples, int count) {
  std::lock_guard guard(lock_);
  const int64_t first = written_;
  if (count <= 0) return first;
  const int64_t size = int64_t(ring_.size());
  for (int i = 0; i < count; ++i) ring_[size_t((written_ + i) % size)] = samples[i];
  written_ += count;
  return first;
}

void TEchoReference::Began(int64_t index, int count, TMediaTimeNs time) {
  if (count <= 0) return;
  std::lock_guard guard(lock_);
  // Times only go forward: a device that says a slice began before one it
  // played earlier was wrong about the earlier one.
  while (marked_ > 0) {
    const TMark& last = marks_[size_t((first_ + marked_ - 1) % kMarks)];
    if (last.Time < time && last.Index < index) break;
    --marked_;
  }
  if (marked_ == kMarks) {
    first_ = (first_ + 1) % kMarks;
    --marked_;
  }
  marks_[size_t((first_ + marked_) % kMarks)] = {index, count, time};
  ++marked_;
}

bool TEchoReference::IndexAt(TMediaTimeNs time, double& index) const {
  // The newest slice that began by `time` (binary search: the times rise).
  int low = 0, high = marked_;
  while (low < high) {
    const int mid = (low + high) / 2;
    if (marks_[size_t((first_ + mid) % kMarks)].Time <= time)
      low = mid + 1;
    else
      high = mid;
  }
  if (low == 0) return false;
  const TMark& mark = marks_[size_t((first_ + low - 1) % kMarks)];
  index = double(mark.Index) + double(time - mark.Time) * samplesPerNs_;
  if (index < double(mark.Index + mark.Count)) return true;
  // Past that slice: the speaker was silent until the next one began, or,
  // after the newest, plays on into what it was handed but has not timed yet.
  return low == marked_ && index < double(written_);
}

void TEchoReference::RestartCapture() {
  captured_ = 0;
  haveLag_ = false;
}

void TEchoReference::Fill(TMediaTimeNs captureTime, int count, int guardSamples, int16_t* out) {
  if (count <= 0) return;
  const int64_t size = int64_t(ring_.size());
  {
    std::lock_guard guard(lock_);
    // Capture sample c was taken while reference sample c + lag played.
    double playing = 0;
    if (IndexAt(captureTime, playing)) {
      const double target = playing - double(captured_);
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
