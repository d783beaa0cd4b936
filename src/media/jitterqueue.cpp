#include "media/jitterqueue.h"

#include <algorithm>
#include <cstring>

namespace qv {

namespace {

static_assert((TPlayoutBuffer::kCapacity & (TPlayoutBuffer::kCapacity - 1)) == 0,
              "the ring is indexed by masking");
static_assert(kMaxAudioRate % kNarrowRate == 0);

}  // namespace

TPlayoutBuffer::TPlayoutBuffer(int rate)
    : rate_(std::clamp(rate / kNarrowRate, 1, kMaxAudioRate / kNarrowRate) * kNarrowRate),
      scale_(rate_ / kNarrowRate),
      frame_(FrameSamplesAt(rate_)),
      slice_(frame_ / 2),
      capacity_(kCapacity * scale_),
      mask_(uint32_t(capacity_ - 1)) {}

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
  concealRun_ = kConcealSamples * scale_;  // a new stream does not repeat the old one
}

int TPlayoutBuffer::Level() const {
  if (!started_) return 0;
  return std::max(0, int(int32_t(end_ - play_)));
}

TPlayoutBuffer::TPut TPlayoutBuffer::Put(uint32_t timestamp, const int16_t* samples, int count) {
  if (count <= 0) return TPut::Stored;
  count = std::min(count, capacity_ / 2);
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
    offset = capacity_;  // start again below
  }
  if (offset > capacity_ - count) {
    Reset();
    started_ = true;
    play_ = end_ = timestamp;
    offset = 0;
    result = TPut::Restarted;
  }
  lateRun_ = 0;
  for (int i = int(std::max<int64_t>(0, -offset)); i < count; ++i) {
    const uint32_t at = (timestamp + uint32_t(i)) & mask_;
    ring_[at] = samples[i];
    present_[at] = true;
  }
  const uint32_t end = timestamp + uint32_t(count);
  if (int32_t(end - end_) > 0) end_ = end;
  return result;
}

int16_t TPlayoutBuffer::Next() {
  ++concealed_;
  const int fade = kConcealSamples * scale_;
  if (concealRun_ >= fade) return 0;
  const int gain = fade - concealRun_++;
  const int16_t v = int16_t(last_[size_t(concealAt_)] * gain / fade);
  concealAt_ = (concealAt_ + 1) % frame_;
  return v;
}

void TPlayoutBuffer::ReadAt(uint32_t position, int16_t* out, int count) {
  for (int i = 0; i < count; ++i) {
    const uint32_t at = (position + uint32_t(i)) & mask_;
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
  for (int i = 0; i < count; ++i) present_[(position + uint32_t(i)) & mask_] = false;
}

int TPlayoutBuffer::WindowMinimum() const {
  int least = levels_[0];
  for (int i = 1; i < levelCount_; ++i) least = std::min(least, levels_[size_t(i)]);
  return least;
}

TPlayoutBuffer::TTake TPlayoutBuffer::Take(int16_t* out) {
  if (!started_) return TTake::Idle;
  const int level = Level();
  if (level < frame_) {
    // The next frame has not (all) arrived and nothing after it has: wait
    // for it rather than pass it, with 10 ms of concealment meanwhile.
    for (int i = 0; i < slice_; ++i) out[i] = Next();
    ++stretches_;
    return TTake::Stretch;
  }
  levels_[size_t(levelNext_)] = level;
  levelNext_ = (levelNext_ + 1) % kWindowFrames;
  levelCount_ = std::min(levelCount_ + 1, kWindowFrames);

  const int spare = levelCount_ == kWindowFrames ? WindowMinimum() - frame_ : 0;
  const int drop = spare >= kFastDropAbove * scale_ ? frame_ : spare >= kDropAbove * scale_ ? slice_ : 0;
  bool whole = true;
  if (drop > 0 && level >= frame_ + drop) {
    // 20 ms plus what goes, in; 20 ms out: the first 10 ms cross-fade into
    // the audio after the cut, so the cut does not click.
    int16_t span[2 * kMaxFrameSamples];
    const int length = frame_ + drop;
    ReadAt(play_, span, length);
    for (int i = 0; i < slice_; ++i) {
      const int w = 2 * i + 1;  // weight of the later audio, in 1/(2 slice_)
      out[i] = int16_t((span[i] * (2 * slice_ - w) + span[drop + i] * w) / (2 * slice_));
    }
    std::memcpy(out + slice_, span + drop + slice_, sizeof(int16_t) * size_t(frame_ - slice_));
    for (int i = 0; i < length && whole; ++i) whole = present_[(play_ + uint32_t(i)) & mask_];
    Clear(play_, length);
    play_ += uint32_t(length);
    dropped_ += uint64_t(drop);
    // What was dropped is gone from every level of the window too.
    for (int i = 0; i < levelCount_; ++i) levels_[size_t(i)] -= drop;
  } else {
    for (int i = 0; i < frame_ && whole; ++i) whole = present_[(play_ + uint32_t(i)) & mask_];
    ReadAt(play_, out, frame_);
    Clear(play_, frame_);
    play_ += uint32_t(frame_);
  }
  // Concealment repeats real audio only, never its own output.
  if (whole) std::memcpy(last_.data(), out, sizeof(int16_t) * size_t(frame_));
  return TTake::Frame;
}

}  // namespace qv
