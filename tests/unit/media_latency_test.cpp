// Mouth-to-ear delay of a call on loopback: A's "microphone" plays noise,
// its RTP goes through a relay to B, and the meter finds each stretch B's
// "speaker" plays in that noise. Real threads, sockets and clock-paced
// virtual devices; the figures are printed for the record.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "dialogs/call.h"
#include "platform/audio_virtual.h"
#include "support/fake_engine.h"
#include "support/latency_meter.h"
#include "support/rtp_helpers.h"
#include "support/rtp_relay.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kBoundMs = 100;

struct TSample {
  double AtSeconds;
  double DelayMs;
};

class MouthToEar : public ::testing::Test {
protected:
  void SetUp() override {
    SelectAudioBackend("virtual");
    VirtualAudio::ResetAll();
  }
  void TearDown() override {
    for (auto& call : {a, b})
      if (call) call->SetMediaActive(false);
    relay.reset();
    VirtualAudio::ResetAll();
  }

  // A (devices 1) talks through the relay to B (device 2); both run PCMU.
  void Start(double captureRateFactor, double seconds) {
    VirtualAudio::SetInputRateFactor(1, captureRateFactor);
    // The meter reads half a second of what B played: a short ring keeps
    // that copy (made under the lock the device threads write through) short.
    VirtualAudio::SetOutputCapacity(2, 4000);
    meter = std::make_unique<TLatencyMeter>(1, 2, seconds + 5);
    a = MakeMediaCall(engine, 1, 0);
    b = MakeMediaCall(engine, 2, 0);
    relay = std::make_unique<TRtpRelay>(a->GetLocalRtpPort(), b->GetLocalRtpPort());
    a->SetRemoteRtpPort(relay->Port());
    b->SetRemoteRtpPort(relay->Port());
    b->SetMediaActive(true);
    a->SetMediaActive(true);
    started = Clock::now();
  }

  double Elapsed() const { return std::chrono::duration<double>(Clock::now() - started).count(); }

  // Measures every 100 ms until `untilSeconds` after the start.
  void MeasureUntil(double untilSeconds) {
    while (Elapsed() < untilSeconds) {
      std::this_thread::sleep_for(100ms);
      if (auto ms = meter->MeasureMs()) samples.push_back({Elapsed(), *ms});
    }
  }

  // The longest time, from `fromSeconds` on, that the delay stayed above the
  // bound: a measurement above it until the next one at or below it. The suite
  // shares two cores with this test, and a moment in which the machine runs
  // something else looks like a short network stall; playout must bring such
  // a delay back within a second (half a second to see that it stays, then
  // 20 ms per frame), which is what this measures, and must never let it stay.
  double LongestAboveBound(double fromSeconds) const {
    double longest = 0, since = -1;
    for (const TSample& m : samples) {
      if (m.AtSeconds < fromSeconds) continue;
      if (m.DelayMs > kBoundMs && since < 0) since = m.AtSeconds;
      if (m.DelayMs <= kBoundMs && since >= 0) {
        longest = std::max(longest, m.AtSeconds - since);
        since = -1;
      }
    }
    if (since >= 0) longest = std::max(longest, samples.back().AtSeconds - since + 0.1);
    return longest;
  }

  // Share of the measurements from `fromSeconds` on at or below the bound.
  double ShareWithinBound(double fromSeconds) const {
    const std::vector<double> d = From(fromSeconds);
    return d.empty() ? 0 : double(std::count_if(d.begin(), d.end(), [](double ms) { return ms <= kBoundMs; })) /
                               double(d.size());
  }

  // The delays measured from `fromSeconds` on.
  std::vector<double> From(double fromSeconds) const {
    std::vector<double> d;
    for (const TSample& s : samples)
      if (s.AtSeconds >= fromSeconds) d.push_back(s.DelayMs);
    return d;
  }

  static void Print(const char* what, std::vector<double> d) {
    if (d.empty()) return;
    std::sort(d.begin(), d.end());
    std::printf("mouth-to-ear %s: %zu measurements, min %.1f ms, median %.1f ms, max %.1f ms\n", what, d.size(),
                d.front(), d[d.size() / 2], d.back());
  }

  std::shared_ptr<TFakeEngine> engine = std::make_shared<TFakeEngine>();
  std::shared_ptr<TCall> a, b;
  std::unique_ptr<TRtpRelay> relay;
  std::unique_ptr<TLatencyMeter> meter;
  Clock::time_point started;
  std::vector<TSample> samples;
};

TEST_F(MouthToEar, StaysBoundedAndComesBackAfterAStallAndABurst) {
  Start(1.0, 8);
  MeasureUntil(3);
  const std::vector<double> steady = From(1);
  Print("steady", steady);
  ASSERT_GE(steady.size(), 10u) << "the noise was not found in what B played";
  EXPECT_GE(ShareWithinBound(1), 0.9);
  EXPECT_LE(LongestAboveBound(1), 1.0);

  // 300 ms of A's packets held back, then released together.
  relay->HoldAToB(300);
  const double released = Elapsed() + 0.3;
  MeasureUntil(released + 4);
  Print("in the 2 s after the burst", From(released));
  // The burst's own excursion: from the release to the first measurement at
  // or below the bound after the delay went above it.
  double back = 0;
  bool above = false;
  for (const TSample& m : samples) {
    if (m.AtSeconds < released) continue;
    if (m.DelayMs > kBoundMs) above = true;
    if (above && m.DelayMs <= kBoundMs) {
      back = m.AtSeconds - released;
      break;
    }
    if (above) back = m.AtSeconds - released + 0.1;
  }
  std::printf("mouth-to-ear back at or below %.0f ms %.2f s after the burst\n", kBoundMs, back);
  const std::vector<double> after = From(released + 2);
  Print("from 2 s after the burst", after);
  ASSERT_GE(after.size(), 10u);
  EXPECT_LE(back, 2.0) << "the burst's delay was not dropped within 2 s";
  EXPECT_GE(ShareWithinBound(released + 2), 0.9);
  EXPECT_LE(LongestAboveBound(released + 2), 1.0);
}

TEST_F(MouthToEar, StaysBoundedWithASenderClockHalfAPercentFast) {
  Start(1.005, 16);
  MeasureUntil(16);
  const std::vector<double> all = From(1);
  Print("sender clock 0.5 % fast", all);
  Print("last 5 s of 16 with the clock 0.5 % fast", From(11));
  ASSERT_GE(all.size(), 50u);
  EXPECT_GE(ShareWithinBound(1), 0.9);
  EXPECT_LE(LongestAboveBound(1), 1.0) << "the fast clock's delay was let grow";
}

}  // namespace
}  // namespace qv::test
