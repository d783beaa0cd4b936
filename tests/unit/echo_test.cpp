// The echo canceller on the echo scene (support/echo_scene.h), offline: the
// far talker through a 250 ms RT60 room, 30 to 120 ms away, and the near
// talker at the microphone.
#include <gtest/gtest.h>

#include <numeric>

#include "media/echocanceller.h"
#include "support/echo_scene.h"

namespace qv::test {
namespace {

TEST(EchoCanceller, RemovesTheRoomsEchoAndKeepsTheNearTalker) {
  for (int rate : {8000, 16000}) {
    const TEchoScene scene = MakeEchoScene(rate);
    ASSERT_FALSE(scene.Far.empty()) << "eSpeak NG has no English or Spanish voice";
    for (double delayMs : {30.0, 75.0, 120.0}) {
      SCOPED_TRACE(testing::Message() << rate << " Hz, room " << delayMs << " ms away");
      const TEchoFigures f = RunEchoScene(scene, delayMs);
      EXPECT_GE(f.ErleDb, 25.0);
      EXPECT_GE(f.NearCorrelation, 0.9);
      // Where the echo was found: the room's delay, give or take what the
      // filter's resolution and the noted times leave.
      EXPECT_NEAR(f.EchoDelayMs, delayMs, 10.0);
    }
  }
}

// A speaker that ran dry in the middle of the measured stretch (the machine
// stalled the playout) plays everything after it late: the reference follows
// the device's times at once, and the room stays cancelled once the filter's
// length of history from before the slip has passed.
TEST(EchoCanceller, KeepsTheRoomWhenThePlayoutRanDry) {
  for (int rate : {8000, 16000}) {
    const TEchoScene scene = MakeEchoScene(rate);
    ASSERT_FALSE(scene.Far.empty()) << "eSpeak NG has no English or Spanish voice";
    for (double slipMs : {15.0, 45.0}) {
      SCOPED_TRACE(testing::Message() << rate << " Hz, dry for " << slipMs << " ms");
      const TEchoFigures f = RunEchoScene(scene, 75, nullptr, nullptr, slipMs);
      EXPECT_GE(f.ErleAfterSlipDb, 25.0);
      EXPECT_NEAR(f.EchoDelayMs, 75, 10.0);
    }
  }
}

// The echo comes 80 ms earlier than before (another device, a moved phone):
// it has left the part of the filter the reference was moved to, so the
// canceller looks for it again from the devices' times and finds it.
TEST(EchoCanceller, FindsAnEchoThatCameEarlier) {
  const int rate = 8000;
  const TEchoScene scene = MakeEchoScene(rate);
  ASSERT_FALSE(scene.Far.empty()) << "eSpeak NG has no English or Spanish voice";
  // The far talker alone for fifteen seconds; the room moves at 4 s.
  std::vector<int16_t> far;
  for (int i = 0; i < 3; ++i) far.insert(far.end(), scene.Far.begin(), scene.Far.begin() + 5 * rate);
  const auto before = EchoAtMicrophone(far, rate, 120, kSceneRt60Ms, kSceneRoomGain);
  const auto after = EchoAtMicrophone(far, rate, 40, kSceneRt60Ms, kSceneRoomGain);
  std::vector<int16_t> echo(before.begin(), before.begin() + 4 * rate);
  echo.insert(echo.end(), after.begin() + 4 * rate, after.end());
  std::vector<int16_t> out(echo);
  TEchoCanceller canceller(rate);
  FeedCanceller(canceller, far, out);
  EXPECT_NEAR(canceller.EchoDelayMs(), 40, 10);
  EXPECT_GE(PowerRatioDb(echo, out, size_t(12 * rate), far.size()), 25.0) << "in its last three seconds";
}

// The reference read for each captured block is what played at its capture
// time, by the devices' times only: a slice that never played, a speaker that
// ran dry and a capture that lost sound do not shift what comes after.
TEST(EchoReference, ReadsWhatPlayedWhenEachBlockWasCaptured) {
  const int rate = 8000, slice = 80;
  const int64_t msNs = 1000000, t0 = 1000 * msNs;
  TEchoReference reference(rate, 2 * rate);
  std::vector<int16_t> ramp(size_t(slice * 8));
  std::iota(ramp.begin(), ramp.end(), int16_t(1));  // the value at index i is i + 1
  int16_t out[slice];
  auto hand = [&](int n) { return reference.Played(ramp.data() + n * slice, slice); };

  // Nothing timed yet: silence.
  hand(0);
  reference.Fill(t0, slice, 0, out);
  EXPECT_EQ(out[0], 0);

  // Slice 0 began at t0, slice 1 right after it; the second capture block
  // was taken 5 ms into slice 0.
  reference.Began(0, slice, t0);
  reference.Began(hand(1), slice, t0 + 10 * msNs);
  reference.Fill(t0 + 5 * msNs, slice, 0, out);
  EXPECT_EQ(out[0], 40 + 1);
  EXPECT_EQ(out[slice - 1], 119 + 1);
  EXPECT_EQ(reference.Lag(), 40 - slice);

  // Slice 2 was handed but never played (the device was reset); slice 3
  // played after 25 ms of silence. A block captured 2 ms into slice 3 reads
  // it, the next one (slice 4 handed, not yet timed) reads on, and a guard
  // reads that much earlier.
  hand(2);
  reference.Began(hand(3), slice, t0 + 45 * msNs);
  reference.Fill(t0 + 47 * msNs, slice, 0, out);
  EXPECT_EQ(out[0], 240 + 16 + 1);
  hand(4);
  reference.Fill(t0 + 57 * msNs, slice, 16, out);
  EXPECT_EQ(out[0], 240 + 96 - 16 + 1);

  // The capture lost 10 ms of sound before its next block.
  reference.Began(320, slice, t0 + 55 * msNs);
  reference.Began(hand(5), slice, t0 + 65 * msNs);
  hand(6);
  reference.Fill(t0 + 77 * msNs, slice, 0, out);
  EXPECT_EQ(out[0], 400 + 96 + 1);
}

}  // namespace
}  // namespace qv::test
