// The common set-up of the in-process engine tests: an active engine on a
// port the system chooses, its event queue drained on the test thread, and a
// scripted peer (TUdpPeer) that is the account's server.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "engine/sipengine.h"
#include "support/udppeer.h"

namespace qv::test {

// The engine's clock in a test: it moves only when the test moves it.
struct TTestClock {
  std::atomic<int64_t> now{1'000'000'000};
};

class EngineTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Replaces the engine by one without a window (nothing is posted).
  void UseEngineWithoutWindow();

  int EnginePort() const { return engine->GetBoundPort(); }
  // Moves the engine's clock and runs what became due (retransmissions,
  // transaction time-outs), as the transport thread would within 50 ms.
  void AdvanceClock(int64_t ms) {
    clock->now += ms;
    engine->RunTimers();
  }
  int64_t ClockNow() const { return clock->now; }
  // Sends `text` from the peer to the engine.
  void ToEngine(const std::string& text) { peer.Send(text, EnginePort()); }

  // Returns once the engine has handled everything sent to it so far (the
  // transport takes datagrams in order: an OPTIONS is answered after them).
  // What the engine sent meanwhile stays for the next Receive.
  bool Sync();
  // MsgCallEnded, and the dispatch that posted it finished (the call is off
  // the list and its media are stopped by then).
  bool CallEnded();

  // REGISTER from the engine answered 200 at once: the account is in state 4.
  void RegisterAccount();

  // Invite() answered 200 with an SDP and acknowledged: a connected outgoing
  // call. `invite` receives the INVITE the engine sent.
  ISipCallPtr ConnectOutgoing(std::string* invite = nullptr, const std::string& routes = "");

  // An INVITE from the peer to alice; the Via points back at the peer.
  std::string IncomingInvite(const std::string& callId, int cseq = 1,
                             const std::string& sdp = Sdp(40000),
                             const std::string& requestUri = "sip:alice@127.0.0.1");
  // Sends `invite`, takes "100 Trying" and "180 Ringing", waits for
  // MsgIncomingCall and puts the call into ringing (3) as the component does.
  ISipCallPtr RingIncoming(const std::string& invite);
  // RingIncoming, then answered and acknowledged: a connected incoming call
  // (nullptr when it never rang).
  ISipCallPtr ConnectIncoming(const std::string& invite);
  // A request of the peer inside the dialog of `invite` (From/To swapped
  // back as the calling side keeps them).
  std::string InDialogRequest(const std::string& invite, const std::string& method, int cseq,
                              const std::string& extraHeaders = "", const std::string& body = "",
                              const std::string& contentType = "");

  std::shared_ptr<TTestClock> clock = std::make_shared<TTestClock>();
  TMessageQueuePtr window;
  std::shared_ptr<TSipEngine> engine;
  std::unique_ptr<TEngineEvents> events;
  TUdpPeer peer;
  ISipAccountPtr account;
};

// The challenge header of a 401 or 407.
extern const char* const kWwwAuthenticate;
extern const char* const kProxyAuthenticate;

}  // namespace qv::test
