// Conference mixer: who hears whom, the averaging, the edge rings.
#include "media/conference.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/tone_analysis.h"

namespace qv {
namespace {

using Frame = std::vector<int16_t>;

Frame Flat(int16_t value) { return Frame(kFrameSamples, value); }

// Runs one mix on a copy and returns what became of it.
Frame Local(TSipConference& conference, const std::string& call, bool microphone, Frame frame) {
  conference.MixLocal(call, microphone, frame.data());
  return frame;
}

Frame Remote(TSipConference& conference, const std::string& call, bool speaker, Frame frame) {
  conference.MixRemote(call, speaker, frame.data());
  return frame;
}

TEST(ConferenceTest, SingleCallIsLeftAlone) {
  TSipConference conference;
  Frame tone = test::MakeTone(440, 9000, kFrameSamples, 8000);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Local(conference, "A", true, tone), tone);
    EXPECT_EQ(Remote(conference, "A", true, tone), tone);
    EXPECT_EQ(Local(conference, "A", false, tone), tone);
    EXPECT_EQ(Remote(conference, "A", false, tone), tone);
  }
  EXPECT_EQ(conference.Participants(), (std::vector<std::string>{"<<A", ">>A"}));
  EXPECT_TRUE(conference.Edges().empty());
}

TEST(ConferenceTest, AverageTruncatesTowardZero) {
  TSipConference conference;
  Local(conference, "A", true, Flat(0));
  Remote(conference, "B", true, Flat(-3));  // B's peer, stored for both of A's streams
  EXPECT_EQ(Local(conference, "A", true, Flat(0)), Flat(-1));
  EXPECT_EQ(conference.Participants(), (std::vector<std::string>{"<<A", ">>A", "<<B", ">>B"}));
  EXPECT_EQ(conference.Edges(),
            (std::vector<std::string>{"<<B-><<A", "<<B->>>A", ">>A-><<B", ">>A->>>B"}));
}

TEST(ConferenceTest, MutedMicrophoneSendsOnlyWhatOthersStored) {
  TSipConference conference;
  Local(conference, "A", false, Flat(0));
  Remote(conference, "B", true, Flat(600));
  // One contribution: its plain value, not halved.
  EXPECT_EQ(Local(conference, "A", false, Flat(1000)), Flat(600));
  // Two contributions: their average.
  Remote(conference, "B", true, Flat(600));
  Local(conference, "B", true, Flat(-100));
  EXPECT_EQ(Local(conference, "A", false, Flat(1000)), Flat(250));
  // Nothing stored: the muted frame passes unchanged.
  EXPECT_EQ(Local(conference, "A", false, Flat(1000)), Flat(1000));
  // And A's capture reached nobody: B's streams hear only their own.
  EXPECT_EQ(Remote(conference, "B", true, Flat(7)), Flat(7));
  EXPECT_EQ(Local(conference, "B", true, Flat(9)), Flat(9));
  for (const std::string& edge : conference.Edges()) EXPECT_NE(edge.rfind(">>A->", 0), 0u) << edge;
}

TEST(ConferenceTest, SpeakerOffStillFeedsOthersButPlaysUnchanged) {
  TSipConference conference;
  Remote(conference, "A", true, Flat(0));
  Local(conference, "B", true, Flat(800));
  EXPECT_EQ(Remote(conference, "A", false, Flat(100)), Flat(100));
  // A's peer still reached B's speaker.
  EXPECT_EQ(Remote(conference, "B", true, Flat(0)), Flat(50));
}

TEST(ConferenceTest, EdgeHoldsTheLastThreeFramesThenRunsDry) {
  TSipConference conference;
  Local(conference, "A", false, Flat(0));
  for (int16_t v = 1; v <= 4; ++v) Remote(conference, "B", true, Flat(v * 100));
  // A's muted capture hears B's peer: 200, 300, 400 (100 was dropped), then
  // nothing more once B stopped feeding.
  EXPECT_EQ(Local(conference, "A", false, Flat(5)), Flat(200));
  EXPECT_EQ(Local(conference, "A", false, Flat(5)), Flat(300));
  EXPECT_EQ(Local(conference, "A", false, Flat(5)), Flat(400));
  EXPECT_EQ(Local(conference, "A", false, Flat(5)), Flat(5));
  EXPECT_EQ(Local(conference, "A", false, Flat(5)), Flat(5));

  TSipConference::TAudioBuffer ring;
  Frame out(kFrameSamples);
  EXPECT_FALSE(ring.Read(out.data()));
  for (int16_t v = 1; v <= 4; ++v) ring.Write(Flat(v).data());
  for (int16_t v = 2; v <= 4; ++v) {
    ASSERT_TRUE(ring.Read(out.data()));
    EXPECT_EQ(out, Flat(v));
  }
  EXPECT_FALSE(ring.Read(out.data()));
}

TEST(ConferenceTest, EachCallSendsTheOtherPartiesButNotItsOwn) {
  TSipConference conference;
  const std::string calls[3] = {"call-500", "call-1000", "call-1500"};
  const double tones[3] = {500, 1000, 1500};
  const int frames = 100;
  std::vector<int16_t> sent[3];
  for (int f = 0; f < frames; ++f) {
    for (int c = 0; c < 3; ++c) {
      Frame heard = test::MakeTone(tones[c], 9000, kFrameSamples, 8000, size_t(f) * kFrameSamples);
      Remote(conference, calls[c], true, heard);
    }
    for (int c = 0; c < 3; ++c) {
      Frame out = Local(conference, calls[c], true, Flat(0));  // a quiet room
      sent[c].insert(sent[c].end(), out.begin(), out.end());
    }
  }
  for (int c = 0; c < 3; ++c) {
    SCOPED_TRACE(calls[c]);
    const int16_t* samples = sent[c].data() + 2 * kFrameSamples;
    const size_t count = sent[c].size() - 2 * kFrameSamples;
    const double own = test::ToneAmplitude(samples, count, tones[c], 8000);
    for (int o = 0; o < 3; ++o) {
      if (o == c) continue;
      // Five contributions (two voices, two silent captures, our own capture).
      const double other = test::ToneAmplitude(samples, count, tones[o], 8000);
      EXPECT_NEAR(other, 9000 / 5.0, 100) << tones[o];
      EXPECT_GT(other, 20 * own);
    }
  }
}

TEST(ConferenceTest, ConcurrentMixingFromEveryThread) {
  TSipConference conference;
  std::vector<std::thread> threads;
  for (int c = 0; c < 3; ++c) Local(conference, "call" + std::to_string(c), false, Flat(0));
  for (int c = 0; c < 3; ++c) {
    const std::string id = "call" + std::to_string(c);
    threads.emplace_back([&conference, id] {
      for (int i = 0; i < 500; ++i) Local(conference, id, true, Flat(int16_t(i)));
    });
    threads.emplace_back([&conference, id] {
      for (int i = 0; i < 500; ++i) Remote(conference, id, i % 2 == 0, Flat(int16_t(-i)));
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(conference.Participants().size(), 6u);
  EXPECT_EQ(conference.Edges().size(), 6u * 4);
}

}  // namespace
}  // namespace qv
