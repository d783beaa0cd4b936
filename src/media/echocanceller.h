// TEchoCanceller: echo cancellation and noise suppression of a call's
// microphone. The far end's voice comes out of the speaker, the room carries
// it back into the microphone, and without this the far end hears itself a
// few hundred milliseconds late. What the speaker played is the reference
// (Played, from the playout path); each captured block (Capture, on the
// capture path) is cleaned of that reference's echo and of steady noise.
//
// It works in 10 ms blocks at the rate it was made for (8000, 16000, 32000 or
// 48000 Hz). Played takes any number of samples; Capture cleans the whole
// blocks of what it is given (a 20 ms frame is two) and leaves a remainder
// shorter than a block as it was.
//
// The reference is aligned by the times the devices gave (echoreference.h),
// then moved by where the filter finds the echo (device latency and the way
// through the room); the filter covers the room from there, kFilterMs.
// The processing itself is an IEchoProcessor: speexdsp's echo canceller and
// preprocessor (echospeex.h) unless another is given.
//
// Threads: Played and Began from the playback thread, Capture and SetEnabled
// from the capture thread; the rest from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/echoreference.h"

namespace qv {

// One echo cancelling engine: cleans a block of `near` (microphone) of the
// echo of `far` (the reference aligned to it) into `out`. Blocks of the size
// it was made for. Single thread.
class IEchoProcessor {
public:
  virtual ~IEchoProcessor() = default;
  virtual void Process(const int16_t* near, const int16_t* far, int16_t* out) = 0;
  // Forget the room (the canceller was off for a while).
  virtual void Reset() = 0;
  // Where the strongest echo lies behind the reference, in samples; -1 when
  // the engine cannot tell.
  virtual int EchoPeak() { return -1; }
};
using TEchoProcessorFactory = std::unique_ptr<IEchoProcessor> (*)(int sampleRate, int blockSamples, int filterSamples);

class TEchoCanceller {
public:
  static constexpr int kBlockMs = 10;
  // How much echo the filter holds: from where the echo starts (see
  // FollowEcho), a room's reverberation until it is 25 dB down or more.
  static constexpr int kFilterMs = 200;
  // Where the echo is put in the filter once it was found: ahead of it the
  // filter keeps room for the echo to come earlier (another device, a
  // timing that moved).
  static constexpr int kEchoMarginMs = 30;
  // The reference is taken this much earlier than the timing says, so that a
  // device whose times run a little late does not put the echo ahead of it.
  static constexpr int kGuardMs = 10;
  // A filter that removes almost nothing for this long while the far end
  // speaks and the reference is taken early (the echo moved out of it, or it
  // settled on something else) looks for the echo again from the timing alone.
  static constexpr int kLostMs = 3000;
  static constexpr int kMoveBackMs = 1000;
  static constexpr int kHistoryMs = 2000;

  // `factory` nullptr: speexdsp. Raises qv::Exception for a rate it cannot take.
  explicit TEchoCanceller(int sampleRate, TEchoProcessorFactory factory = nullptr);
  ~TEchoCanceller();
  TEchoCanceller(const TEchoCanceller&) = delete;
  TEchoCanceller& operator=(const TEchoCanceller&) = delete;

  int SampleRate() const { return rate_; }
  int BlockSamples() const { return block_; }

  // Playback thread: `count` samples handed to the speaker; returns their
  // index, which Began takes once the device says when they began to play
  // (TEchoReference::Played, Began).
  int64_t Played(const int16_t* samples, int count) { return reference_.Played(samples, count); }
  void Began(int64_t index, int count, TMediaTimeNs playTime) { reference_.Began(index, count, playTime); }

  // Capture thread: `count` samples captured from `captureTime` on (the
  // capture device's time), cleaned in place while enabled.
  void Capture(int16_t* samples, int count, TMediaTimeNs captureTime);

  // Capture thread: while off, Capture leaves the microphone as it is; on
  // again, the room is learnt afresh.
  void SetEnabled(bool value);
  bool Enabled() const { return enabled_.load(); }

  // The delay from playout to the strongest echo in the microphone, in
  // milliseconds: the timing's part plus where the filter found the echo.
  // -1 until known. Any thread.
  int EchoDelayMs() const { return echoDelayMs_.load(); }

private:
  void FollowEcho(int guard);
  // Takes the reference `shift` samples earlier than the timing says and
  // lets the filter learn the room again there.
  void Refocus(int shift);
  // Capture thread: after each block processed; `near` is the microphone.
  void WatchRemoval(const int16_t* near);

  const int rate_;
  const int block_;
  TEchoReference reference_;
  std::unique_ptr<IEchoProcessor> processor_;  // capture thread
  std::vector<int16_t> far_, out_;             // capture thread
  std::atomic<bool> enabled_{true};
  bool wasEnabled_ = true;  // capture thread
  int blocksSinceDelay_ = 0;
  int shift_ = 0;      // samples the reference is taken earlier still
  int lastPeak_ = -1;  // where the filter saw the echo last time
  // WatchRemoval: energies over the current second of far speech, and the
  // seconds in a row that removed too little.
  int activeBlocks_ = 0, lostSeconds_ = 0;
  double nearSum_ = 0, outSum_ = 0;
  int steadyChecks_ = 0;  // checks in a row with the echo in the same place
  std::atomic<int> echoDelayMs_{-1};
};

using TEchoCancellerPtr = std::shared_ptr<TEchoCanceller>;

}  // namespace qv
