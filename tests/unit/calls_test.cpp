#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "dialogs/account.h"
#include "dialogs/call.h"
#include "dialogs/calls.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "sip/sipmessage.h"
#include "support/fake_engine.h"

namespace qv::test {
namespace {

class Calls : public ::testing::Test {
protected:
  std::shared_ptr<TCall> Make(const std::string& callId = "") {
    return std::make_shared<TCall>(engine, callId, account);
  }
  std::shared_ptr<TFakeEngine> engine = std::make_shared<TFakeEngine>();
  std::shared_ptr<TAccount> account = std::make_shared<TAccount>();
};

TEST_F(Calls, CallIdGivenOrFreshAndDefaults) {
  auto incoming = Make("3c26700c5b8e-kf9pw1x@192.168.1.30");
  EXPECT_EQ(incoming->GetCallId(), "3c26700c5b8e-kf9pw1x@192.168.1.30");
  auto c = Make();
  EXPECT_TRUE(std::regex_match(c->GetCallId(), std::regex("[0-9A-F]{32}"))) << c->GetCallId();
  EXPECT_EQ(c->GetMediaDirection(), "sendrecv");
  EXPECT_EQ(c->GetState(), csIdle);
  EXPECT_EQ(c->GetInputDevice(), -1);
  EXPECT_EQ(c->GetOutputDevice(), -1);
  EXPECT_EQ(c->GetRtpSocket(), -1);
  EXPECT_TRUE(c->GetSpeakerEnabled());
  EXPECT_TRUE(c->GetMicrophoneEnabled());
  EXPECT_FALSE(c->GetIncoming());
  EXPECT_FALSE(c->GetMediaActive());
  EXPECT_EQ(c->GetSdpVersion(), 0);
  EXPECT_GE(c->GetSdpSessionId(), 1234);
  EXPECT_LT(c->GetSdpSessionId(), 1234 + 55000);
  EXPECT_EQ(c->GetAccount(), account);
  EXPECT_EQ(c->GetEngine(), engine);
  EXPECT_EQ(c->RouteCount(), 0);
  EXPECT_EQ(c->RouteLine(), "");
}

TEST_F(Calls, TwoCallsNeverShareTagOrBranch) {
  std::set<std::string> tags, branches;
  for (int i = 0; i < 200; ++i) {
    auto c = Make();
    EXPECT_TRUE(tags.insert(c->GetLocalTag()).second);
    EXPECT_TRUE(branches.insert(c->GetBranch()).second);
    EXPECT_EQ(c->GetBranch().rfind("z9hG4bK", 0), 0u);
  }
}

TEST_F(Calls, StateChangeNotifiesTheEngineOnce) {
  auto c = Make();
  c->SetState(csIdle);
  EXPECT_TRUE(engine->StateNotes().empty());
  c->SetState(csInviteSent);
  c->SetState(csInviteSent);
  c->SetState(csIdle);
  auto notes = engine->StateNotes();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].Call, c.get());
  EXPECT_EQ(notes[0].State, csInviteSent);
  EXPECT_EQ(notes[1].State, csIdle);
}

// The call holds its engine weakly: a call that outlives the engine neither
// keeps it alive nor fails when it has nobody to tell.
TEST_F(Calls, CallOutlivesItsEngine) {
  auto c = Make();
  std::weak_ptr<ISipEngine> weak = engine;
  engine.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(c->GetEngine(), nullptr);
  c->SetState(csConnected);
  c->NotifySilence();
  EXPECT_EQ(c->GetState(), csConnected);
}

TEST_F(Calls, NotifyDtmfDropsRepeatsWithin120ms) {
  auto c = Make();
  c->NotifyDtmf("5");
  AdvanceClockForTests(100);
  c->NotifyDtmf("5");  // within 120 ms of the first: dropped, and restarts the window
  AdvanceClockForTests(110);
  c->NotifyDtmf("5");  // 210 ms after the first, 110 after the last: dropped
  AdvanceClockForTests(130);
  c->NotifyDtmf("6");
  AdvanceClockForTests(200);
  c->NotifyDtmf("");  // never delivered
  c->NotifySilence();
  auto notes = engine->DtmfNotes();
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0].Text, "5");
  EXPECT_EQ(notes[1].Text, "6");
  EXPECT_EQ(notes[2].Text, "s");
  EXPECT_EQ(notes[2].Call, c.get());
}

// Fresh process, fresh generator: the draws of the first call are fixed.
TEST(CallRandom, LcgFirstDrawsFromStateZero) {
  uint32_t state = 0;
  EXPECT_EQ(LcgDraw(state, 5000), 0u);
  EXPECT_EQ(state, 1u);
  EXPECT_EQ(LcgDraw(state, 55000), 1725u);
  EXPECT_EQ(state, 134775814u);
  EXPECT_EQ(LcgDraw(state, 5000), 4305u);
  EXPECT_EQ(LcgDraw(state, 55000), 11141u);
  uint32_t big = 0xFFFFFFFF;  // the state wraps modulo 2^32
  EXPECT_EQ(LcgDraw(big, 100), 96u);
  EXPECT_EQ(big, 4160191484u);
  EXPECT_LT(CallRandom(10), 10u);
}

TEST_F(Calls, RouteSetIsStoredReversed) {
  TSipMessage m(
      "SIP/2.0 200 OK\r\n"
      "Record-Route: <sip:a.example;lr>, <sip:b.example;lr>\r\n"
      "Record-Route: <sip:c.example;lr>\r\n"
      "CSeq: 1 INVITE\r\n\r\n");
  auto c = Make();
  c->SetRouteSet(m);
  EXPECT_EQ(c->RouteCount(), 3);
  EXPECT_EQ(c->RouteLines(),
            "Route: <sip:a.example;lr>\r\n"
            "Route: <sip:b.example;lr>\r\n"
            "Route: <sip:c.example;lr>\r\n");
  EXPECT_EQ(c->RecordRouteLines(),
            "Record-Route: <sip:a.example;lr>\r\n"
            "Record-Route: <sip:b.example;lr>\r\n"
            "Record-Route: <sip:c.example;lr>\r\n");
  EXPECT_EQ(c->RouteLine(), "Route: <sip:c.example;lr>,<sip:b.example;lr>,<sip:a.example;lr>\r\n");
  c->SetRouteSet(TSipMessage("SIP/2.0 200 OK\r\nCSeq: 2 INVITE\r\n\r\n"));
  EXPECT_EQ(c->RouteCount(), 0);
  EXPECT_EQ(c->RouteLines(), "");
}

class TRecordingSink : public ISipConference, public ISipRecorder {
public:
  void MixLocal(ISipCall&, int16_t*) override {}
  void MixRemote(ISipCall& call, int16_t* frame) override {
    events += "mix;";
    frame[0] = 7;  // the conference may rewrite the frame before it is recorded
  }
  void AddLocalFrame(const int16_t*) override {}
  void AddRemoteFrame(const int16_t* frame) override { events += "rec" + std::to_string(frame[0]) + ";"; }
  void Clear() override {}
  void SaveToStream(std::ostream&) override {}
  void SaveToFile(const std::string&) override {}
  std::string events;
};

TEST_F(Calls, RemoteFrameGoesToConferenceThenRecorder) {
  auto c = Make();
  auto sink = std::make_shared<TRecordingSink>();
  int16_t frame[kFrameSamples] = {};
  c->DeliverRemoteFrame(frame);  // neither set: nothing happens
  c->SetConference(sink);
  c->SetRecorder(sink);
  c->DeliverRemoteFrame(frame);
  EXPECT_EQ(sink->events, "mix;rec7;");
  c->SetConference(nullptr);
  c->SetRecorder(nullptr);
  EXPECT_EQ(sink.use_count(), 1);
}

TEST_F(Calls, DtmfDigitsQueueUp) {
  auto c = Make();
  c->QueueDtmf("12");
  c->QueueDtmf("#");
  EXPECT_EQ(c->GetDtmfQueue(), "12#");
}

TEST_F(Calls, ListRemovesOneReferencePerEntry) {
  TSipCalls list;
  auto c = Make();
  auto other = Make();
  list.Add(c);
  EXPECT_EQ(c.use_count(), 2);
  list.Remove(other);  // absent: ignored
  list.Remove(c);
  list.Remove(c);
  EXPECT_EQ(c.use_count(), 1);
  EXPECT_EQ(list.Count(), 0);
  list.Add(c);
  list.Add(other);
  // The engine removes calls while it walks the list under its lock.
  list.Lock();
  EXPECT_EQ(list.Item(1), other);
  list.Remove(list.Item(0));
  list.Unlock();
  EXPECT_EQ(list.Item(0), other);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(other.use_count(), 1);
  EXPECT_THROW(list.Item(0), Exception);
}

// What the user interface reads while the transport thread updates the call
// under its lock. ThreadSanitizer must see no race here.
TEST_F(Calls, UserInterfaceReadsWhileTheEngineWrites) {
  TSipCalls list;
  auto c = Make();
  list.Add(c);
  std::atomic<bool> done{false};
  std::thread engineThread([&] {
    for (int i = 0; i < 2000; ++i) {
      list.Lock();
      ISipCallPtr call = list.Item(0);
      call->Lock();
      call->SetState(i % 2 ? csConnected : csRinging);
      call->SetRemoteUser("user" + std::to_string(i));
      call->SetIncoming(i % 3 == 0);
      call->SetSpeakerEnabled(i % 5 != 0);
      call->SetMicrophoneEnabled(i % 7 != 0);
      call->SetViaHeaders("Via: SIP/2.0/UDP 10.0.0." + std::to_string(i % 250) + "\r\n");
      call->SetCodec(nullptr);
      call->QueueDtmf("1");
      call->Unlock();
      list.Unlock();
      account->SetPublicAddress(i % 2 ? "203.0.113.7" : "");
    }
    done = true;
  });
  size_t seen = 0;
  do {
    int state = c->GetState();
    std::string user = c->GetRemoteUser();
    seen += user.size() + size_t(state) + c->GetIncoming() + c->GetSpeakerEnabled() +
            c->GetMicrophoneEnabled() + c->GetViaHeaders().size() + list.Count() +
            account->GetContactUri().size();
  } while (!done);
  engineThread.join();
  EXPECT_GT(seen, 0u);
  EXPECT_EQ(c->GetRemoteUser(), "user1999");
  EXPECT_EQ(c->GetDtmfQueue().size(), 2000u);
  EXPECT_EQ(engine->StateNotes().size(), 2000u);
}

}  // namespace
}  // namespace qv::test
