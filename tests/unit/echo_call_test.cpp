// Echo cancellation through real calls: four pairs of calls on loopback, each
// on its own virtual devices, all running at once. In each pair B is the far
// talker (eSpeak NG's English, B's microphone) and A the phone in a room: A's
// speaker plays B's voice into a room of 250 ms RT60 that carries it to A's
// microphone 30 or 120 ms later, where the near talker (eSpeak NG's Spanish)
// speaks too. What B's speaker plays is what the far end hears. For each room
// one pair runs with the canceller on and one with it off: the echo return
// loss enhancement is the ratio of the two on the far-only stretch after two
// seconds, and the near voice must reach B whole. With G.711 the media run at
// 8000 Hz, with G.722 at 16000 Hz, and the canceller with them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "dialogs/call.h"
#include "media/callmedia.h"
#include "media/codecs.h"
#include "platform/audio_virtual.h"
#include "support/echo_scene.h"
#include "support/fake_engine.h"
#include "support/rtp_helpers.h"

namespace qv::test {
namespace {

struct TPair {
  double RoomMs;
  bool Cancel;
  int NearDevice, FarDevice;
  std::shared_ptr<TCall> A, B;
};

class EchoThroughACall : public ::testing::TestWithParam<int> {
protected:
  void SetUp() override {
    SelectAudioBackend("virtual");
    VirtualAudio::ResetAll();
    on->SetEchoCancellation(true);
    off->SetEchoCancellation(false);
  }
  void TearDown() override {
    for (TPair& p : pairs)
      for (auto& call : {p.A, p.B})
        if (call) call->SetMediaActive(false);
    VirtualAudio::ResetAll();
  }

  std::shared_ptr<TFakeEngine> on = std::make_shared<TFakeEngine>();
  std::shared_ptr<TFakeEngine> off = std::make_shared<TFakeEngine>();
  std::vector<TPair> pairs;
};

TEST_P(EchoThroughACall, TheFarEndDoesNotHearItselfAndHearsTheNearTalker) {
  const int codec = GetParam();
  const int kRate = codec == kCodecG722 ? 16000 : 8000;
  const TEchoScene scene = MakeEchoScene(kRate);
  ASSERT_FALSE(scene.Far.empty()) << "eSpeak NG has no English or Spanish voice";
  pairs = {{30, true, 1, 2, {}, {}}, {30, false, 3, 4, {}, {}}, {120, true, 5, 6, {}, {}}, {120, false, 7, 0, {}, {}}};
  for (TPair& p : pairs) {
    VirtualAudio::SetInputPcm(p.FarDevice, scene.Far, kRate, false);
    VirtualAudio::SetInputPcm(p.NearDevice, scene.Near, kRate, false);
    VirtualAudio::SetRoom(p.NearDevice, p.NearDevice, p.RoomMs, kSceneRt60Ms, kSceneRoomGain);
    p.A = MakeMediaCall(p.Cancel ? on : off, p.NearDevice, codec);
    // The far phone is in no room: nothing of its own to cancel.
    p.B = MakeMediaCall(off, p.FarDevice, codec);
    Pair(*p.A, *p.B);
  }
  // B's speaker starts first, so that it is never behind A's microphone.
  for (TPair& p : pairs) p.B->SetMediaActive(true);
  for (TPair& p : pairs) p.A->SetMediaActive(true);

  // Where each canceller found the echo, read as the far-only stretch ends.
  std::vector<int> found;
  for (TPair& p : pairs) ASSERT_TRUE(VirtualAudio::WaitOutputSamples(p.FarDevice, 5 * kRate, 20000));
  for (TPair& p : pairs) found.push_back(p.A->Media().EchoDelayMs());
  const uint64_t wanted = uint64_t(scene.Far.size() + kRate / 2);
  for (TPair& p : pairs) ASSERT_TRUE(VirtualAudio::WaitOutputSamples(p.FarDevice, wanted, 20000));
  std::vector<std::vector<int16_t>> heard;
  for (TPair& p : pairs) heard.push_back(VirtualAudio::OutputSamples(p.FarDevice));

  // On B's speaker the far-only stretch ends when the near talker starts, a
  // mouth-to-ear delay after 5 s; its last two and a half seconds are
  // measured, in five pieces. The figure is their median: a moment in which
  // the shared machine runs something else makes a playout late and a
  // device lose samples, which spoils a piece of the room, not the canceller.
  const size_t piece = kRate / 2;
  for (size_t i = 0; i < pairs.size(); i += 2) {
    const TPair& p = pairs[i];
    SCOPED_TRACE(testing::Message() << "room " << p.RoomMs << " ms away");
    std::vector<double> erles;
    std::string list;
    for (size_t from = size_t(2.5 * kRate); from + piece <= size_t(5.0 * kRate); from += piece) {
      erles.push_back(PowerRatioDb(heard[i + 1], heard[i], from, from + piece));
      list += " " + std::to_string(int(std::lround(erles.back())));
    }
    std::sort(erles.begin(), erles.end());
    const double erle = erles[erles.size() / 2];
    const double whole = PowerRatioDb(heard[i + 1], heard[i], size_t(2.5 * kRate), size_t(5.0 * kRate));
    // The echo's level against full scale, as the far end heard it uncancelled.
    const double echoLevel = -PowerRatioDb(std::vector<int16_t>(heard[i + 1].size(), 32767), heard[i + 1],
                                           size_t(2.5 * kRate), size_t(5.0 * kRate));
    // The near talker, alone and then over the far one, as B heard it.
    const double kept =
        SegmentedCorrelation(scene.Near, heard[i], scene.NearBegin, scene.NearEnd - kRate / 4, kRate / 2, piece);
    // Per piece too: a piece that lost the voice tells where it went.
    std::string pieces;
    for (size_t from = scene.NearBegin; from + piece <= scene.NearEnd - kRate / 4; from += piece) {
      const double c = SegmentedCorrelation(scene.Near, heard[i], from, from + piece, kRate / 2, piece);
      pieces += " " + std::to_string(int(std::lround(c * 100)));
    }
    std::printf("echo through a call at %d Hz, room %.0f ms: echo %.1f dBFS, ERLE %.1f dB (median of%s; whole stretch %.1f), "
                "near correlation %.3f (pieces, %%:%s), echo found %d ms after playout\n",
                kRate, p.RoomMs, echoLevel, erle, list.c_str(), whole, kept, pieces.c_str(), found[i]);
    EXPECT_GT(echoLevel, -40.0) << "the room carried no echo to the microphone";
    EXPECT_GE(erle, 25.0);
    EXPECT_GE(kept, 0.9);
    // The room's delay, plus what the devices add that the noted times miss.
    EXPECT_GE(found[i], p.RoomMs - 10);
    EXPECT_LE(found[i], p.RoomMs + 60);
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, EchoThroughACall, ::testing::Values(kCodecPCMU, kCodecG722),
                         [](const auto& info) { return std::string(info.param == kCodecG722 ? "G722" : "PCMU"); });

}  // namespace
}  // namespace qv::test
