// The far-end reference of the echo canceller: what the speaker played, kept
// in the order it was handed to the speaker, and read back for each captured
// block as the samples that were playing when that block was captured.
//
// Why by the devices' times: the playout and the capture run on two device
// clocks, behind queues of their own, and a thread that wakes late sees every
// buffer late. The devices themselves say, for each buffer they give back,
// when its first sample began to play or was captured (TWaveHeader::TimeNs),
// counted on their own sample clocks; a playout that ran dry and went on
// later, or a capture that lost sound, shows in those times at once, while
// the threads' lateness does not show at all. So the reference is placed by
// the play times of the slices around each capture time, and nothing that
// happened to a slice (played late, never played) shifts the ones after it.
//
// The reference given to the canceller moves only when the alignment moved by
// more than a millisecond, since every move makes the adaptive filter learn
// the room again.
//
// What the times do not see, the device's own latency and the way from the
// speaker to the microphone, the canceller's filter covers.
//
// Threads: Played and Began on the playback thread, Fill and RestartCapture
// on the capture thread, Lag on any; a leaf mutex guards the ring between
// them for one copy at a time.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qv {

// Steady-clock nanoseconds: when a buffer played or was captured.
using TMediaTimeNs = int64_t;
TMediaTimeNs MediaTimeNow();

class TEchoReference {
public:
  // How many play slices' times are kept: five seconds of 10 ms slices, more
  // than the ring reaches back.
  static constexpr int kMarks = 512;

  // `historySamples`: how far back the ring reaches (a second or two).
  TEchoReference(int sampleRate, int historySamples);

  // Playback thread: `count` samples handed to the speaker after those handed
  // before. Returns the index of the first of them in the played stream (0
  // for the first sample ever handed).
  int64_t Played(const int16_t* samples, int count);
  // Playback thread: the device says that `count` samples from `index` on
  // began to play at `time`. Slices that never played are never marked; the
  // speaker was silent then.
  void Began(int64_t index, int count, TMediaTimeNs time);

  // Capture thread: `count` samples were captured, the first at
  // `captureTime`; writes to `out` the samples that played `guardSamples`
  // before each of them (silence where nothing played or the ring forgot).
  void Fill(TMediaTimeNs captureTime, int count, int guardSamples, int16_t* out);

  // Capture thread: starts the capture's count again (a new device).
  void RestartCapture();

  // The tracked delay from a sample's playout to the capture of the same
  // moment, in samples (0 until both sides were timed). Any thread.
  int Lag() const { return publishedLag_.load(); }

private:
  struct TMark {
    int64_t Index = 0;
    int Count = 0;
    TMediaTimeNs Time = 0;
  };
  // Under lock_: the index of the sample that played at `time`; false when
  // nothing known played then (before the first mark, or the speaker ran dry).
  bool IndexAt(TMediaTimeNs time, double& index) const;

  const int rate_;
  const double samplesPerNs_;

  mutable std::mutex lock_;
  std::vector<int16_t> ring_;  // guarded by lock_
  int64_t written_ = 0;        // samples handed so far (the next index)
  std::array<TMark, kMarks> marks_{};  // guarded by lock_, oldest at marks_[first_]
  int first_ = 0, marked_ = 0;

  // Capture thread only.
  const double relock_;  // samples the alignment must move to move the lag
  int64_t captured_ = 0;
  bool haveLag_ = false;
  int64_t lag_ = 0;
  std::atomic<int> publishedLag_{0};
};

}  // namespace qv
