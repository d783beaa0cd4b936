// The echo canceller on the echo scene (support/echo_scene.h), offline: the
// far talker through a 250 ms RT60 room, 30 to 120 ms away, and the near
// talker at the microphone.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qv::test
