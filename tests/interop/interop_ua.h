// Our user agent in an interop test: an engine in this process, active on a
// free port, its events drained on the test thread (as the component would,
// including putting an offered incoming call into ringing).
#pragma once

#include <memory>
#include <string>

#include "engine/sipengine.h"
#include "support/udppeer.h"

namespace qv::test {
class TBaresip;
}

namespace qv::test {

class TInteropUa {
public:
  TInteropUa();
  ~TInteropUa();

  int Port() const { return engine_->GetBoundPort(); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(Port()); }
  TSipEngine& Engine() { return *engine_; }
  TEngineEvents& Events() { return events_; }

  ISipAccountPtr AddAccount(const std::string& server, const std::string& user,
                            const std::string& password, const std::string& stun = "");
  // StartRegistration, then MsgRegistered (false on MsgRegistrationEnded or time-out).
  bool Register(const ISipAccountPtr& account, int timeoutMs = 5000);

  // The next incoming call, put into ringing; nullptr after `timeoutMs`.
  ISipCallPtr WaitIncoming(int timeoutMs = 5000);
  // The next event `msg` for `call` (other events stay queued).
  bool WaitCallEvent(uint32_t msg, const ISipCallPtr& call, int timeoutMs = 5000);
  // Every datagram the engine received so far (its log), joined.
  std::string Received();

private:
  TMessageQueuePtr window_;
  std::shared_ptr<TSipEngine> engine_;
  TEngineEvents events_;
};

// The frequency of the last second our speaker (virtual output 0) played at
// `rate`, once it has played `seconds` of the call; 0 when it played too
// little or only silence.
double FrequencyWeHear(double seconds, int rate);

// The frequency `peer` heard in the second from 0.5 s into the call, from its
// recording of the decoded audio at `rate`; 0 when there is no such recording.
double FrequencyBaresipHeard(const TBaresip& peer, int rate);

}  // namespace qv::test
