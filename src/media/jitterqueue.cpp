#include "media/jitterqueue.h"

#include <algorithm>
#include <cstring>

namespace qv {

namespace {

constexpr uint32_t kMask = TPlayoutBuffer::kCapacity - 1;
static_assert((TPlayoutBuffer::kCapacity & kMask) == 0, "the ring is indexed by masking");

}  // namespace

bool TSequenceWindow::Duplicate(uint16_t sequence) {
  if (!started_) {
    started_ = true;
    highest_ = sequence;
    seen_ = 1;
    return false;
  }
  const int16_t ahead = int16_t(uint16_t(sequence - highest_));
  if (ahead > 0) {
    seen_ = ahead >= 64 ? 0 : seen_ << ahead;
    seen_ |= 1;
    highest_ = sequence;
    return false;
  }
  const int behind = -ahead;
  // Older than the window: the playout buffer drops it as late anyway.
  if (behind >= 64) return false;
  const uint64_t bit = uint64_t(1) << behind;
  if (seen_ & bit) return true;
  seen_ |= bit;
  return false;
}

void TPlayoutBuffer::Reset() {
  started_ = false;
  present_.fill(false);
  levelCount_ = levelNext_ = 0;
  lateRun_ = 0;
  concealRun_ = kConcealSamples;  // a new stream does not repeat the old one
}

int TPlayoutBuffer::Level() const {
  if (!started_) return 0;
  return std::max(0, int(int32_t(end_ - play_)));
}

TPlayoutBuffer::TPut TPlayoutBuffer::Put(uint32_t timestamp, const int16_t* samples, int count) {
  if (count <= 0) return TPut::Stored;
  count = std::min(count, kCapacity / 2);
  TPut result = TPut::Stored;
  if (!started_) {
    started_ = true;
    play_ = end_ = timestamp;
  }
  int64_t offset = int32_t(timestamp - play_);
  if (offset + count <= 0) {
    // Its time was played already. A sender whose timestamps jumped back
    // sends nothing but such packets: once about a second of them (fifty)
    // came in a row, playout follows it.
    if (++lateRun_ < kLateRunRestart) {
      ++late_;
      return TPut::Late;
    }
    offset = kCapacity;  // start again below
  }
  if (offset > kCapacity - count) {
    Reset();
    started_ = true;
    play_ = end_ = timestamp;
    offset = 0;
    result = TPut::Restarted;
  }
  lateRun_ = 0;
  for (int i = int(std::max<int64_t>(0, -offset)); i < count; ++i) {
    const uint32_t at = (timestamp + uint32_t(i)) & kMask;
    ring_[at] = samples[i];
    present_[at] = true;
  }
  const uint32_t end = timestamp + uint32_t(count);
  if (int32_t(end - end_) > 0) end_ = end;
  return result;
}

int16_t TPlayoutBuffer::Next() {
  ++concealed_;
  if (concealRun_ >= kConcealSamples) return 0;
  const int gain = kConcealSamples - concealRun_++;
  const int16_t v = int16_t(last_[size_t(concealAt_)] * gain / kConcealSamples);
  concealAt_ = (concealAt_ + 1) % kFrameSamples;
  return v;
}

void TPlayoutBuffer::ReadAt(uint32_t position, int16_t* out, int count) {
  for (int i = 0; i < count; ++i) {
    const uint32_t at = (position + uint32_t(i)) & kMask;
    if (present_[at]) {
      out[i] = ring_[at];
      concealRun_ = 0;
      concealAt_ = 0;
    } else {
      out[i] = Next();
    }
  }
}

void TPlayoutBuffer::Clear(uint32_t position, int count) {
  for (int i = 0; i < count; ++i) present_[(position + uint32_t(i)) & kMask] = false;
}

int TPlayoutBuffer::WindowMinimum() const {
  int least = levels_[0];
  for (int i = 1; i < levelCount_; ++i) least = std::min(least, levels_[size_t(i)]);
  return least;
}

TPlayoutBuffer::TTake TPlayoutBuffer::Take(int16_t* out) {
  if (!started_) return TTake::Idle;
  const int level = Level();
  if (level < kFrameSamples) {
    // The next frame has not (all) arrived and nothing after it has: wait
    // for it rather than pass it, with 10 ms of concealment meanwhile.
    for (int i = 0; i < kSlice; ++i) out[i] = Next();
    ++stretches_;
    return TTake::Stretch;
  }
  levels_[size_t(levelNext_)] = level;
  levelNext_ = (levelNext_ + 1) % kWindowFrames;
  levelCount_ = std::min(levelCount_ + 1, kWindowFrames);

  const int spare = levelCount_ == kWindowFrames ? WindowMinimum() - kFrameSamples : 0;
  const int drop = spare >= kFastDropAbove ? kFrameSamples : spare >= kDropAbove ? kSlice : 0;
  bool whole = true;
  if (drop > 0 && level >= kFrameSamples + drop) {
    // 20 ms plus what goes, in; 20 ms out: the first 10 ms cross-fade into
    // the audio after the cut, so the cut does not click.
    int16_t span[2 * kFrameSamples];
    const int length = kFrameSamples + drop;
    ReadAt(play_, span, length);
    for (int i = 0; i < kSlice; ++i) {
      const int w = 2 * i + 1;  // weight of the later audio, in 1/(2 kSlice)
      out[i] = int16_t((span[i] * (2 * kSlice - w) + span[drop + i] * w) / (2 * kSlice));
    }
    std::memcpy(out + kSlice, span + drop + kSlice, sizeof(int16_t) * (kFrameSamples - kSlice));
    for (int i = 0; i < length && whole; ++i) whole = present_[(play_ + uint32_t(i)) & kMask];
    Clear(play_, length);
    play_ += uint32_t(length);
    dropped_ += uint64_t(drop);
    // What was dropped is gone from every level of the window too.
    for (int i = 0; i < levelCount_; ++i) levels_[size_t(i)] -= drop;
  } else {
    for (int i = 0; i < kFrameSamples && whole; ++i) whole = present_[(play_ + uint32_t(i)) & kMask];
    ReadAt(play_, out, kFrameSamples);
    Clear(play_, kFrameSamples);
    play_ += kFrameSamples;
  }
  // Concealment repeats real audio only, never its own output.
  if (whole) std::memcpy(last_.data(), out, sizeof(int16_t) * kFrameSamples);
  return TTake::Frame;
}

}  // namespace qv
