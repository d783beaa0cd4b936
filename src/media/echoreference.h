// The far-end reference of the echo canceller: what the speaker played, kept
// with the time each sample was played, and read back for each captured block
// as the samples that were playing when that block was captured.
//
// Why by time: the playout and the capture run on two device clocks, behind
// queues of their own, and a thread that wakes late sees every buffer late.
// Each side therefore notes, per buffer, when it thinks the buffer played or
// was captured. Scheduling only ever makes those notes late, never early, so
// each side's clock offset is the least of its recent notes: a late thread does
// not move it, a drifting clock or a capture that lost buffers does, within a
// few seconds. A playout that ran dry and starts again says so, and the time
// it was silent is kept as silence. The reference given to the canceller moves only
// when the difference of the two offsets moved by more than a few
// milliseconds, since every move makes the adaptive filter learn the room
// again, and the filter covers a few milliseconds either way.
//
// What this does not see, the device's own latency and the way from the
// speaker to the microphone, the canceller's filter covers.
//
// Threads: Played on the playback thread, Fill and the lag on the capture
// thread; a leaf mutex guards the ring between them for one copy at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qv {

// Steady-clock nanoseconds: when a buffer played or was captured.
using TMediaTimeNs = int64_t;
TMediaTimeNs MediaTimeNow();

// A stream's sample count against the clock, noted once per buffer and kept
// as the least of the recent notes (see above). In samples; single thread.
class TClockFloor {
public:
  // `offset`: the clock, in samples, at which this buffer's first sample was
  // played or captured, minus that sample's index in its stream.
  void Note(double offset);
  // Forgets the notes: the next one sets the floor.
  void Restart() { count_ = 0; }
  bool Known() const { return count_ > 0; }
  double Value() const { return value_; }

  // Notes kept: three seconds of 10 ms buffers. A thread that is late for
  // less than that is not believed: a machine busy with something else for
  // a second makes every media thread late at once, and a reference that
  // followed it would move twice, each time costing the filter the room it
  // had learnt. A clock that drifts (a few ms a minute) is followed within
  // that; a capture that lost buffers is followed three seconds late (rare:
  // the capture thread does little more than hand buffers on).
  static constexpr int kNotes = 300;

private:
  double notes_[kNotes] = {};
  int count_ = 0;  // notes taken since the restart
  double value_ = 0;
};

class TEchoReference {
public:
  // `historySamples`: how far back the ring reaches (a second or two).
  TEchoReference(int sampleRate, int historySamples);

  // Playback thread: `count` samples about to play, the first at `playTime`.
  // `continues`: the device still plays what came before, so these follow it
  // without a gap; false when it had run dry or starts.
  void Played(const int16_t* samples, int count, TMediaTimeNs playTime, bool continues);

  // Capture thread: `count` samples were captured, the first at
  // `captureTime`; writes to `out` the samples that played `guardSamples`
  // before each of them (silence where nothing played or the ring forgot).
  void Fill(TMediaTimeNs captureTime, int count, int guardSamples, int16_t* out);

  // Capture thread: starts the capture's count again (a new device).
  void RestartCapture();

  // The tracked delay from a sample's playout to the capture of the same
  // moment, in samples (0 until both sides were noted). Any thread.
  int Lag() const { return publishedLag_.load(); }

private:
  int64_t ReadIndexFor(int count);

  const int rate_;
  const double samplesPerNs_;

  std::mutex lock_;
  std::vector<int16_t> ring_;  // guarded by lock_
  int64_t written_ = 0;         // samples written so far (the next index)
  TClockFloor playFloor_;       // guarded by lock_

  // Capture thread only.
  TClockFloor captureFloor_;
  const double relock_;         // samples the timing must move to move the lag
  int64_t captured_ = 0;
  bool haveLag_ = false;
  int64_t lag_ = 0;
  std::atomic<int> publishedLag_{0};
};

}  // namespace qv
