// The echo scene: a far talker (eSpeak NG, English) played into a room and
// a near talker (eSpeak NG, Spanish) at the microphone. The far end talks
// alone for the first five seconds (two to converge, three measured), the near
// end alone for the next two, and both for the last two.
//
// RunEchoScene runs a canceller over it offline, as the media threads would
// feed it (10 ms play slices handed ahead of time and timed by the device
// once played, 20 ms capture frames), and measures what it did.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "media/echocanceller.h"

namespace qv::test {

struct TEchoScene {
  int Rate = 8000;
  std::vector<int16_t> Far;   // what the far end says (played by the speaker)
  std::vector<int16_t> Near;  // what the near end says (into the microphone)
  // Sample ranges [begin, end): far talker alone after convergence, and
  // near talker active (alone, then over the far one).
  size_t FarOnlyBegin = 0, FarOnlyEnd = 0;
  size_t NearBegin = 0, NearEnd = 0;
};

// The scene at `rate`; empty Far when the speech engine has no English or
// Spanish voice.
TEchoScene MakeEchoScene(int rate);

// The microphone: near speech plus the far speech carried through the room of
// VirtualAudio::RoomImpulse.
std::vector<int16_t> EchoAtMicrophone(const std::vector<int16_t>& far, int rate, double delayMs,
                                      double rt60Ms, double gain);

struct TEchoFigures {
  double ErleDb = 0;          // echo removed on the far-only stretch
  double ErleAfterSlipDb = 0; // the same from a quarter second after a slip on
  double NearCorrelation = 0; // output against the clean near speech
  double NearAloneCorrelation = 0, DoubleTalkCorrelation = 0;  // the two parts of it
  int EchoDelayMs = -1;       // what the canceller found
  double NsPerBlock = 0;      // processing time per 10 ms block
};

// 10 log10 of the power of `before` over that of `after` on [begin, end).
double PowerRatioDb(const std::vector<int16_t>& before, const std::vector<int16_t>& after, size_t begin,
                    size_t end);
// The largest normalised correlation of `a` [begin, end) with `b` shifted by
// 0 to `maxLag` samples (b later, as processing delays it).
double BestCorrelation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t begin, size_t end,
                       int maxLag);

// The same over `segment`-sample pieces, each at its own best lag, summed:
// a playout that moved its timeline in the middle (a late packet made room
// for) still counts the voice it kept.
double SegmentedCorrelation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t begin, size_t end,
                            int maxLag, size_t segment);

// The room (delay, RT60 250 ms, gain 0.5) and the canceller made by `factory`
// (nullptr: the default); `output` receives the cleaned microphone if given.
// `slipMs`: the speaker runs dry for that long at 3 s, in the measured
// stretch, and plays on late.
TEchoFigures RunEchoScene(const TEchoScene& scene, double delayMs, TEchoProcessorFactory factory = nullptr,
                          std::vector<int16_t>* output = nullptr, double slipMs = 0);

// Feeds `canceller` as the media threads would: `far` handed to the speaker
// in 10 ms slices, each timed by the device once played, and `mic` captured in
// 20 ms frames, cleaned in place. From `slipAt` on (a sample of `far`) the
// speaker plays `gap` samples late. Returns the time the canceller took.
std::chrono::nanoseconds FeedCanceller(TEchoCanceller& canceller, const std::vector<int16_t>& far,
                                       std::vector<int16_t>& mic, size_t slipAt = SIZE_MAX, size_t gap = 0);

constexpr double kSceneRt60Ms = 250;
constexpr double kSceneRoomGain = 0.5;

}  // namespace qv::test
