// The playout stage of a call's receive path: decoded audio waits here, placed
// by its RTP timestamp, until the sound device asks for the next frame.
//
// Why by timestamp and on the device's clock: playout that follows packet
// arrival keeps whatever delay a burst or a fast sender clock adds for the
// rest of the call. Here the device takes one 20 ms frame at a time at its
// own pace, and the buffer keeps the audio waiting ahead of the play position
// near its target:
// - a frame whose audio has not arrived, with nothing later in hand, is not
//   taken: the device gets 10 ms of concealment instead and asks again, so a
//   late sender or a stall stretches the play position instead of losing audio;
// - a frame whose audio is missing while later audio is in hand was lost: it is
//   concealed (the last frame repeated and faded out over 60 ms) and passed;
// - when even the least audio waiting over the last half second exceeds a
//   frame by 12.5 ms or more (after a burst, or a sender clock running fast),
//   10 ms are dropped per frame (20 ms while more than 60 ms are spare),
//   cross-faded, until it is back under that.
// Audio arriving for a position already played is late and dropped: packets
// overtaken by the very first one are, since waiting for them would cost
// every call its delay for good.
//
// Duplicates are found by sequence number (TSequenceWindow) before decoding,
// so the in-band detector and the silence watch see each packet once.
//
// Fixed storage, nothing allocated per packet. Single thread (the call's
// playback thread).
#pragma once

#include <array>
#include <cstdint>

#include "sip/sipints.h"

namespace qv {

// True when sequence number `a` comes before `b` (RFC 1982 serial arithmetic).
inline bool SequenceBefore(uint16_t a, uint16_t b) { return int16_t(uint16_t(a - b)) < 0; }

// The sequence numbers seen recently: the highest and a bitmap of the 64
// below it (RFC 3550 A.1 keeps the same kind of window).
class TSequenceWindow {
public:
  // True when `sequence` was seen already within the window; notes it otherwise.
  bool Duplicate(uint16_t sequence);
  void Reset() { started_ = false; }

private:
  bool started_ = false;
  uint16_t highest_ = 0;
  uint64_t seen_ = 0;  // bit k: highest_ - k was seen
};

// Positions and counts are samples at the buffer's rate (8000 Hz unless
// made for another); the constants below are those of 8000 Hz and scale with
// the rate.
class TPlayoutBuffer {
public:
  static constexpr int kCapacity = 8192;       // samples held ahead at most (about 1 s)
  static constexpr int kSlice = kFrameSamples / 2;  // the unit of stretching and dropping
  static constexpr int kDropAbove = 100;       // spare samples (12.5 ms) that start dropping
  static constexpr int kFastDropAbove = 480;   // spare samples (60 ms) that drop a whole frame
  static constexpr int kWindowFrames = 20;     // 400 ms of frames
  static constexpr int kConcealSamples = 480;  // concealment fades out over 60 ms
  static constexpr int kLateRunRestart = 50;   // late packets in a row that restart playout
  static constexpr int kMaxCapacity = kCapacity * (kMaxAudioRate / kNarrowRate);

  // `rate`: 8000 or a multiple of it up to kMaxAudioRate.
  explicit TPlayoutBuffer(int rate = kNarrowRate);
  int Rate() const { return rate_; }
  int FrameSamples() const { return frame_; }
  int SliceSamples() const { return slice_; }
  int Capacity() const { return capacity_; }

  enum class TPut { Stored, Late, Restarted };
  // Places `count` samples whose first has RTP timestamp `timestamp`. A
  // timestamp more than the capacity away from the play position (a sender
  // that jumped) starts the buffer again from it.
  TPut Put(uint32_t timestamp, const int16_t* samples, int count);

  enum class TTake { Idle, Frame, Stretch };
  // Idle: nothing has arrived since the start or a reset (`out` untouched).
  // Frame: `out` holds the next 160 samples (audio, concealed where missing).
  // `out` holds FrameSamples(). Stretch: nothing to play yet; `out` holds
  // SliceSamples() of concealment and the play position did not move.
  TTake Take(int16_t* out);

  void Reset();

  bool Started() const { return started_; }
  // Samples from the play position to the end of the newest audio.
  int Level() const;
  // Counters since construction.
  uint64_t Late() const { return late_; }
  uint64_t ConcealedSamples() const { return concealed_; }
  uint64_t DroppedSamples() const { return dropped_; }
  uint64_t Stretches() const { return stretches_; }

private:
  int16_t Next();                      // one sample of concealment
  void ReadAt(uint32_t position, int16_t* out, int count);  // audio, concealed where missing
  void Clear(uint32_t position, int count);
  int WindowMinimum() const;

  const int rate_;
  const int scale_;     // rate_ / 8000
  const int frame_;     // samples of 20 ms
  const int slice_;     // samples of 10 ms
  const int capacity_;  // a power of two
  const uint32_t mask_;
  std::array<int16_t, kMaxCapacity> ring_{};
  std::array<bool, kMaxCapacity> present_{};
  bool started_ = false;
  uint32_t play_ = 0;    // timestamp of the next sample to play
  uint32_t end_ = 0;     // one past the newest sample received
  // Concealment: the last frame played, and how far into the fade we are.
  std::array<int16_t, kMaxFrameSamples> last_{};
  int concealAt_ = 0;
  int concealRun_ = kMaxCapacity;      // nothing to repeat yet
  int lateRun_ = 0;                   // late packets in a row
  // Levels seen before the last frames taken.
  std::array<int, kWindowFrames> levels_{};
  int levelCount_ = 0;
  int levelNext_ = 0;
  uint64_t late_ = 0, concealed_ = 0, dropped_ = 0, stretches_ = 0;
};

}  // namespace qv
