// TSipClient end to end in one process: two components on 127.0.0.1 calling
// each other directly (each account's server is the other's SIP port), the
// events they raise, in which order, on which path, and what the component
// adds of its own (synchronous events, in-band tones, the Tick driver).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "component/sipclient.h"
#include "dialogs/call.h"
#include "media/resources.h"
#include "media/wavfiles.h"
#include "platform/audiodevice.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "sip/iputils.h"
#include "engine/sipengine.h"
#include "support/cliprocess.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// One side of a call: a component, its account, and what its events said.
struct Phone {
  TSipClient client;
  ISipAccountPtr account;
  std::vector<std::string> events;  // "invite", "ok", "ringback", "bye", "dtmf:5", ...
  ISipCallPtr call;                 // the last call an event named

  Phone() {
    // No sound card in tests; and two phones in one process must not hand
    // out the same RTP ports.
    SelectAudioBackend("virtual");
    int base = test::FreeRtpBase();
    client.SetRtpPortMin(base);
    client.SetRtpPortMax(base + 40);
    client.SetLocalPort(0);
    client.OnInvite = [this](TSipClient&, const ISipCallPtr& c) { Note("invite", c); };
    client.OnInviteOk = [this](TSipClient&, const ISipCallPtr& c) { Note("ok", c); };
    client.OnRingback = [this](TSipClient&, const ISipCallPtr& c) { Note("ringback", c); };
    client.OnBye = [this](TSipClient&, const ISipCallPtr& c) { Note("bye", c); };
    client.OnWavStopped = [this](TSipClient&, const ISipCallPtr& c) { Note("wav", c); };
    client.OnDtmf = [this](TSipClient&, const ISipCallPtr& c, const std::string& d) {
      if (d != "s") Note("dtmf:" + d, c);
    };
    client.OnRegistrationOk = [this](TSipClient&, const ISipAccountPtr&) { events.push_back("reg"); };
    client.OnRegistrationBye = [this](TSipClient&, const ISipAccountPtr&) { events.push_back("unreg"); };
  }
  void Note(const std::string& what, const ISipCallPtr& c) {
    events.push_back(what);
    call = c;
  }
  int Count(const std::string& what) const { return int(std::count(events.begin(), events.end(), what)); }
  TSipEngine& Engine() { return dynamic_cast<TSipEngine&>(*client.Engine()); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(client.BoundPort()); }
};

// Both components active, each account pointed at the other.
void Pair(Phone& a, Phone& b) {
  a.client.SetActive(true);
  b.client.SetActive(true);
  a.account = a.client.AddAccount(b.Address(), "alice", "", "", "");
  b.account = b.client.AddAccount(a.Address(), "bob", "", "", "");
  a.client.PrepareAccount(a.account);
  b.client.PrepareAccount(b.account);
}

// Drains both sides until `done` holds or five seconds pass.
bool PumpUntil(std::initializer_list<Phone*> phones, const std::function<bool()>& done,
               int limitMs = 5000) {
  auto end = Clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (Clock::now() > end) return false;
    for (Phone* p : phones) p->client.ProcessMessages(5);
  }
  return true;
}

void Pump(std::initializer_list<Phone*> phones, int ms) {
  PumpUntil(phones, [] { return false; }, ms);
}

// a calls b and b answers; both see the call connected.
void Connect(Phone& a, Phone& b) {
  a.client.MakeCall(a.account, "bob", -1, -1);
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return b.Count("invite") == 1; }));
  b.client.Answer(b.call);
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return a.Count("ok") == 1; }));
}

TEST(SipClient, PropertiesReachTheEngineWhenItExists) {
  TSipClient client;
  EXPECT_FALSE(client.GetActive());
  EXPECT_EQ(client.GetLocalPort(), 5075);
  EXPECT_EQ(client.GetRtpPortMin(), 22000);
  EXPECT_EQ(client.GetRtpPortMax(), 24000);
  EXPECT_EQ(client.GetSilenceThreshold(), kDefaultSilenceThreshold);
  EXPECT_EQ(client.GetSilenceTimeout(), 5000);
  EXPECT_EQ(client.GetDtmfMethod(), dtmfInBand);
  EXPECT_EQ(client.Engine(), nullptr);

  client.SetLocalPort(0);
  client.SetSilenceTimeout(1234);  // stored only: there is no engine yet
  client.SetRtpPortMin(30000);
  client.SetRtpPortMax(30100);
  client.SetActive(true);
  ISipEnginePtr engine = client.Engine();
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->GetSilenceTimeout(), 1234);
  EXPECT_EQ(engine->GetSilenceThreshold(), kDefaultSilenceThreshold);
  EXPECT_EQ(engine->GetRtpPortMin(), 30000);
  EXPECT_EQ(engine->GetRtpPortMax(), 30100);
  client.SetSilenceThreshold(77);  // a running engine gets it at once
  client.SetSilenceTimeout(999);
  EXPECT_EQ(engine->GetSilenceThreshold(), 77);
  EXPECT_EQ(engine->GetSilenceTimeout(), 999);
  client.SetRtpPortMin(31000);  // ports wait for the next engine
  EXPECT_EQ(engine->GetRtpPortMin(), 30000);

  client.SetActive(false);
  EXPECT_EQ(client.Engine(), nullptr);
  EXPECT_FALSE(engine->GetActive());
}

TEST(SipClient, WithoutEngineOperationsRaiseNotActive) {
  TSipClient client;
  EXPECT_EQ(Raised([&] { client.AddAccount("example.invalid", "u", "", "", ""); }), "not active");
  EXPECT_EQ(Raised([&] { client.Register(nullptr); }), "not active");
  EXPECT_EQ(Raised([&] { client.MakeCall(nullptr, "1", -1, -1); }), "not active");
  EXPECT_EQ(Raised([&] { client.Answer(nullptr); }), "not active");
  EXPECT_EQ(Raised([&] { client.Reject(nullptr); }), "not active");
  EXPECT_EQ(Raised([&] { client.SendDtmf(nullptr, "1"); }), "not active");
  EXPECT_EQ(Raised([&] { client.PrepareAccount(nullptr); }), "not active");
  // Mixer and recorder need no engine, and each call makes a new one.
  ISipConferencePtr c1 = client.CreateConference(), c2 = client.CreateConference();
  EXPECT_NE(c1, nullptr);
  EXPECT_NE(c1, c2);
  EXPECT_NE(client.CreateRecorder(), nullptr);
  client.ProcessMessages(0);  // nothing to do, nothing raised
}

TEST(SipClient, ActivatingAgainFreesThePortOfTheEngineSomeoneStillHolds) {
  TSipClient client;
  client.SetLocalPort(0);
  client.SetActive(true);
  const int port = client.BoundPort();
  client.SetActive(false);

  client.SetLocalPort(port);
  client.SetActive(true);
  ISipEnginePtr first = client.Engine();  // an embedder keeps a reference
  EXPECT_EQ(Raised([&] { client.SetActive(true); }), "");
  EXPECT_EQ(client.BoundPort(), port);
  EXPECT_FALSE(first->GetActive());
  EXPECT_NE(client.Engine(), first);
}

TEST(SipClient, PortInUseRaisesAndLeavesActiveTrue) {
  int held = CreateUdpSocket(0, TSocketSet::Sip);
  TSipClient client;
  client.SetLocalPort(BoundPort(held));
  EXPECT_EQ(Raised([&] { client.SetActive(true); }), "bind failed");
  EXPECT_TRUE(client.GetActive());
  EXPECT_NE(client.Engine(), nullptr);
  client.SetActive(false);
  CloseSocket(held);
}

TEST(SipClient, PrepareAccountKeepsEverythingOnLoopback) {
  Phone a, b;
  Pair(a, b);
  EXPECT_EQ(a.account->GetServer(), "127.0.0.1");
  EXPECT_EQ(a.account->GetServerPort(), b.client.BoundPort());
  EXPECT_EQ(a.account->GetLocalAddress(), "127.0.0.1");
  EXPECT_EQ(a.account->GetLocalPort(), a.client.BoundPort());
  EXPECT_EQ(a.account->GetState(), asIdle);  // nothing was sent
}

TEST(SipClient, OutgoingAndIncomingCallRaiseTheirEventsInOrder) {
  Phone a, b;
  Pair(a, b);
  ISipCallPtr outgoing = a.client.MakeCall(a.account, "bob", -1, -1);
  EXPECT_TRUE(a.events.empty());  // nothing is raised from inside MakeCall

  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return b.Count("invite") == 1 && a.Count("ringback") == 1; }));
  ISipCallPtr incoming = b.call;
  EXPECT_TRUE(incoming->GetIncoming());
  EXPECT_EQ(incoming->GetState(), csRinging);  // set before OnInvite
  EXPECT_EQ(incoming->GetRemoteUser(), "alice");
  EXPECT_EQ(a.call, outgoing);
  EXPECT_EQ(outgoing->GetState(), csRinging);
  EXPECT_EQ(a.Count("ok"), 0);  // an outgoing call is answered only by the 200

  // Answer raises OnInviteOk before it returns, before any reply could come.
  b.client.Answer(incoming);
  EXPECT_EQ(b.events, (std::vector<std::string>{"invite", "ok"}));
  EXPECT_EQ(incoming->GetState(), csConnected);

  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return a.Count("ok") == 1; }));
  EXPECT_EQ(outgoing->GetState(), csConnected);

  a.client.HangUp(outgoing);
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return a.Count("bye") == 1 && b.Count("bye") == 1; }));
  EXPECT_EQ(a.events, (std::vector<std::string>{"ringback", "ok", "bye"}));
  EXPECT_EQ(b.events, (std::vector<std::string>{"invite", "ok", "bye"}));
  EXPECT_EQ(outgoing->GetState(), csIdle);
  EXPECT_EQ(incoming->GetState(), csIdle);
}

TEST(SipClient, ByeAndRingbackHandlersRunUnderTheCallLock) {
  Phone a, b;
  Pair(a, b);
  // While a handler runs, another thread must not get the call's lock.
  struct Probe {
    std::thread thread;
    std::atomic<bool> got{false};
    bool gotDuringHandler = false;
  };
  std::vector<std::unique_ptr<Probe>> probes;
  auto probe = [&](const ISipCallPtr& call) {
    auto p = std::make_unique<Probe>();
    Probe* raw = p.get();
    raw->thread = std::thread([raw, call] {
      call->Lock();
      raw->got = true;
      call->Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    raw->gotDuringHandler = raw->got;
    probes.push_back(std::move(p));
  };
  a.client.OnRingback = [&](TSipClient&, const ISipCallPtr& c) { probe(c); a.Note("ringback", c); };
  a.client.OnBye = [&](TSipClient&, const ISipCallPtr& c) { probe(c); a.Note("bye", c); };
  a.client.MakeCall(a.account, "bob", -1, -1);
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return b.Count("invite") == 1; }));
  b.client.Reject(b.call);
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return a.Count("bye") == 1; }));
  EXPECT_EQ(a.events, (std::vector<std::string>{"ringback", "bye"}));
  ASSERT_EQ(probes.size(), 2u);
  for (auto& p : probes) {
    p->thread.join();
    EXPECT_FALSE(p->gotDuringHandler);
    EXPECT_TRUE(p->got);
  }
}

TEST(SipClient, RejectRaisesByeAtOnceAndAgainWhenTheStateLaterBecomesZero) {
  Phone a, b;
  Pair(a, b);
  ISipCallPtr outgoing = a.client.MakeCall(a.account, "bob", -1, -1);
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return b.Count("invite") == 1; }));
  ISipCallPtr incoming = b.call;
  b.client.Reject(incoming);
  EXPECT_EQ(b.events, (std::vector<std::string>{"invite", "bye"}));
  EXPECT_EQ(b.Engine().Calls().Count(), 0);

  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return a.Count("bye") == 1; }));
  EXPECT_EQ(outgoing->GetEndStatus(), "486");

  incoming->SetState(csIdle);  // the rejected call is still ringing as far as it knows
  ASSERT_TRUE(PumpUntil({&b}, [&] { return b.Count("bye") == 2; }));
  EXPECT_EQ(b.call, incoming);
}

TEST(SipClient, ACallGoneBeforeItWasOfferedRaisesNoInvite) {
  Phone a, b;
  Pair(a, b);
  // Cancelled while the consumer was busy: the engine dropped it, its state
  // never left 0. Offering it then would ring forever.
  ISipCallPtr outgoing = a.client.MakeCall(a.account, "bob", -1, -1);
  ASSERT_TRUE(PumpUntil({&a}, [&] { return b.Engine().Calls().Count() == 1; }));
  ASSERT_TRUE(PumpUntil({&a}, [&] { return outgoing->GetState() == csRinging; }));
  a.client.HangUp(outgoing);  // CANCEL
  ASSERT_TRUE(PumpUntil({&a}, [&] { return a.Count("bye") == 1; }));
  ASSERT_TRUE(PumpUntil({&a}, [&] { return b.Engine().Calls().Count() == 0; }));
  Pump({&a, &b}, 100);
  EXPECT_EQ(b.Count("invite"), 0);
  EXPECT_EQ(b.Count("bye"), 0);

  // Answered elsewhere (state no longer 0) before the consumer saw it.
  a.client.MakeCall(a.account, "bob", -1, -1);
  ASSERT_TRUE(PumpUntil({&a}, [&] { return b.Engine().Calls().Count() == 1; }));
  b.Engine().Calls().Item(0)->SetState(csConnected);
  Pump({&a, &b}, 100);
  EXPECT_EQ(b.Count("invite"), 0);
}

TEST(SipClient, TransferOfARingingCallRedirectsAndRaisesByeAtOnce) {
  Phone a, b;
  Pair(a, b);
  ISipCallPtr outgoing = a.client.MakeCall(a.account, "bob", -1, -1);
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return b.Count("invite") == 1; }));
  b.client.Transfer(b.call, "carol");
  EXPECT_EQ(b.events, (std::vector<std::string>{"invite", "bye"}));
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return a.Count("bye") == 1; }));
  EXPECT_EQ(outgoing->GetEndStatus().substr(0, 1), "3");  // a redirection
}

TEST(SipClient, SipInfoSendsOneInfoPerDigit) {
  Phone a, b;
  Pair(a, b);
  // Received INFO digits are reported for a registered account only.
  b.account->SetState(asRegistered);
  Connect(a, b);
  a.client.SetDtmfMethod(dtmfSipInfo);
  a.client.SendDtmf(a.call, "12#");
  a.client.SendDtmf(a.call, "");  // sends nothing
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return b.Count("dtmf:#") == 1; }));
  Pump({&a, &b}, 100);
  std::vector<std::string> digits;
  for (const std::string& e : b.events)
    if (e.rfind("dtmf:", 0) == 0) digits.push_back(e.substr(5));
  EXPECT_EQ(digits, (std::vector<std::string>{"1", "2", "#"}));
  b.account->SetState(asIdle);
}

TEST(SipClient, Rfc2833QueuesTheWholeStringOnTheCall) {
  Phone a, b;
  Pair(a, b);
  Connect(a, b);
  a.client.SetDtmfMethod(dtmfRFC2833);
  a.client.SendDtmf(a.call, "12");
  a.client.SendDtmf(a.call, "*");
  auto* call = dynamic_cast<TCall*>(a.call.get());
  ASSERT_NE(call, nullptr);
  // The media side may already be sending them; what is left is a suffix.
  std::string queued = call->GetDtmfQueue();
  EXPECT_EQ(std::string("12*").substr(3 - queued.size()), queued);
}

TEST(SipClient, InBandPlaysTheToneResourceOfTheFirstDigitOnly) {
  Phone a, b;
  Pair(a, b);
  Connect(a, b);
  ISipCallPtr call = a.call;
  ASSERT_EQ(a.client.GetDtmfMethod(), dtmfInBand);

  for (std::string nothing : {"", "A", "d", "x"}) {
    a.client.SendDtmf(call, nothing);
    EXPECT_EQ(call->GetWavSource(), nullptr) << nothing;
  }
  Pump({&a, &b}, 50);
  EXPECT_EQ(a.Count("wav"), 0);

  struct Case {
    std::string digits;
    int resource;
  };
  for (const Case& c : {Case{"5", 5}, Case{"12", 1}, Case{"0", 10}, Case{"*", 11}, Case{"#", 12}}) {
    call->SetWavSource(nullptr);
    a.client.SendDtmf(call, c.digits);
    auto source = std::dynamic_pointer_cast<TWavBuffer>(call->GetWavSource());
    ASSERT_NE(source, nullptr) << c.digits;
    EXPECT_LE(source->GetPosition(), 2 * kFrameBytes);  // from the start (the media may have begun)
    // The tone plays header and all: 44 bytes, then 350 ms of samples.
    EXPECT_EQ(source->Data(), std::string(GetResource(c.resource))) << c.digits;
    EXPECT_EQ(source->GetSize(), 44 + 2800 * 2);
  }
  call->SetWavSource(nullptr);
}

// Needs the media threads: the tone must cross the call and be heard.
TEST(SipClient, InBandFiveIsHeardByThePeerThenWavStopped) {
  Phone a, b;
  Pair(a, b);
  Connect(a, b);
  if (a.call->GetRtpSocket() < 0) GTEST_SKIP() << "no RTP socket: the media threads are not wired in";
  auto start = Clock::now();
  a.client.SendDtmf(a.call, "5");
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return a.Count("wav") == 1; }, 3000));
  auto played = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(played, 300);  // 350 ms of audio at the real-time rate
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return b.Count("dtmf:5") >= 1; }, 2000));
  EXPECT_EQ(b.Count("dtmf:5"), 1);
}

TEST(SipClient, ProcessMessagesDrivesTheTickTimeOuts) {
  // A registrar and a callee that never answer.
  int deaf = CreateUdpSocket(0, TSocketSet::Sip);
  Phone a;
  a.client.SetActive(true);
  a.account = a.client.AddAccount("127.0.0.1:" + std::to_string(BoundPort(deaf)), "alice", "", "", "");
  a.client.PrepareAccount(a.account);
  a.client.Register(a.account);
  EXPECT_EQ(a.account->GetState(), asRegisterSent);
  ISipCallPtr call = a.client.MakeCall(a.account, "bob", -1, -1);

  AdvanceClockForTests(21000);  // past the 20 s REGISTER time-out
  a.client.ProcessMessages(0);
  a.client.ProcessMessages(0);
  EXPECT_EQ(a.events, (std::vector<std::string>{"unreg"}));
  EXPECT_EQ(call->GetState(), csInviteSent);

  AdvanceClockForTests(100000);  // past the 120 s set-up time-out
  ASSERT_TRUE(PumpUntil({&a}, [&] { return a.Count("bye") == 1; }));
  EXPECT_EQ(call->GetEndStatus(), "408");
  CloseSocket(deaf);
}

TEST(SipClient, AnExceptionFromAHandlerLeavesTheLockFreeAndLaterEventsQueued) {
  Phone a, b;
  Pair(a, b);
  a.client.OnRingback = [](TSipClient&, const ISipCallPtr&) { throw Exception("handler failed"); };
  std::weak_ptr<ISipCall> watched = a.client.MakeCall(a.account, "bob", -1, -1);
  ASSERT_TRUE(PumpUntil({&b}, [&] { return b.Count("invite") == 1; }));
  b.client.Answer(b.call);
  std::string error;
  auto end = Clock::now() + std::chrono::seconds(2);
  while (error.empty() && Clock::now() < end) error = Raised([&] { a.client.ProcessMessages(5); });
  EXPECT_EQ(error, "handler failed");
  {
    ISipCallPtr call = watched.lock();
    ASSERT_NE(call, nullptr);
    std::atomic<bool> got{false};
    std::thread([&] {
      call->Lock();
      got = true;
      call->Unlock();
    }).join();
    EXPECT_TRUE(got);
  }
  // The 200 that followed the 180 is still delivered.
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return a.Count("ok") == 1; }));
  b.client.HangUp(b.call);
  ASSERT_TRUE(PumpUntil({&a, &b}, [&] { return a.Count("bye") == 1; }));
  // Every posted reference was let go: once our own is gone the call is too.
  a.call.reset();
  b.call.reset();
  Pump({&a, &b}, 150);
  EXPECT_TRUE(watched.expired());
}

TEST(SipClient, DestroyingAnActiveComponentHangsUpAndSwitchesTheEngineOff) {
  Phone b;
  ISipEnginePtr engine;
  {
    Phone a;
    Pair(a, b);
    Connect(a, b);
    engine = a.client.Engine();
    a.call.reset();
  }
  EXPECT_FALSE(engine->GetActive());
  ASSERT_TRUE(PumpUntil({&b}, [&] { return b.Count("bye") == 1; }));
}

}  // namespace
}  // namespace qv
