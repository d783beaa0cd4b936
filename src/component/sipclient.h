// TSipClient: the one object through which an application uses the SIP user
// agent. It owns the engine while Active, forwards every operation to it, and
// turns what the engine's worker threads post into events raised on the
// consumer's thread, in posting order.
//
// Threads: everything here runs on one thread, the consumer's (the GUI thread
// of an application, the main thread of the console tool). Worker threads never
// call the component: the engine posts into the component's queue, and the
// consumer drains it with ProcessMessages(). To integrate with another event
// loop, set SetNotify(): it is called on a worker thread whenever something is
// waiting, and must only schedule a ProcessMessages(0) on the consumer's thread.
//
// While Active, ProcessMessages() also drives the engine's Tick() once a
// second (registration refresh and the signalling time-outs), so a consumer
// must call it at least that often (a one-second timer will do).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/messagequeue.h"
#include "sip/sipints.h"

namespace qv {

enum TDtmfMethod { dtmfInBand = 0, dtmfRFC2833 = 1, dtmfSipInfo = 2 };

class TSipClient;

using TOnLog = std::function<void(TSipClient& sender, const std::string& text)>;
using TOnCallEvent = std::function<void(TSipClient& sender, const ISipCallPtr& call)>;
using TOnDtmf = std::function<void(TSipClient& sender, const ISipCallPtr& call, const std::string& dtmf)>;
using TOnAccountEvent = std::function<void(TSipClient& sender, const ISipAccountPtr& account)>;

class TSipClient {
public:
  TSipClient();
  ~TSipClient();
  TSipClient(const TSipClient&) = delete;
  TSipClient& operator=(const TSipClient&) = delete;

  // Events; an unassigned event is skipped.
  TOnLog OnLog;
  TOnCallEvent OnInvite;           // an incoming call rings (state 3)
  TOnCallEvent OnInviteOk;         // a call was answered (after Answer, or a 200 from the peer)
  TOnDtmf OnDtmf;                  // a digit arrived, or "s" for remote silence
  TOnCallEvent OnWavStopped;       // a WAV source played into a call ran out
  TOnCallEvent OnBye;              // a call ended (state 0), or was rejected
  TOnCallEvent OnRingback;         // the remote side rings (180)
  TOnAccountEvent OnRegistrationOk;
  TOnAccountEvent OnRegistrationBye;

  // Properties. Ports and the DTMF method reach the engine when it is created;
  // the silence settings also reach a running engine at once.
  int GetLocalPort() const { return localPort_; }
  void SetLocalPort(int value) { localPort_ = value; }
  int GetRtpPortMin() const { return rtpPortMin_; }
  void SetRtpPortMin(int value) { rtpPortMin_ = value; }
  int GetRtpPortMax() const { return rtpPortMax_; }
  void SetRtpPortMax(int value) { rtpPortMax_ = value; }
  TDtmfMethod GetDtmfMethod() const { return dtmfMethod_; }
  void SetDtmfMethod(TDtmfMethod value) { dtmfMethod_ = value; }
  int GetSilenceThreshold() const { return silenceThreshold_; }
  void SetSilenceThreshold(int value);
  int GetSilenceTimeout() const { return silenceTimeout_; }
  void SetSilenceTimeout(int value);
  bool GetActive() const { return active_; }
  // true: creates the engine and opens the SIP port (a port in use raises,
  // leaving Active true with an engine that is not running); false: switches
  // the engine off (BYE for connected calls, un-REGISTER) and releases it.
  void SetActive(bool value);

  // Operations. All but CreateConference and CreateRecorder need Active.
  ISipAccountPtr AddAccount(const std::string& server, const std::string& userName,
                            const std::string& password, const std::string& proxy,
                            const std::string& stunServer);
  void Register(const ISipAccountPtr& account);
  void Unregister(const ISipAccountPtr& account);
  ISipCallPtr MakeCall(const ISipAccountPtr& account, const std::string& number, int inputDevice,
                       int outputDevice);
  void Answer(const ISipCallPtr& call);  // raises OnInviteOk at once
  void Reject(const ISipCallPtr& call);  // busy answer, then OnBye at once
  void HangUp(const ISipCallPtr& call);
  void Hold(const ISipCallPtr& call);
  void Unhold(const ISipCallPtr& call);
  void Transfer(const ISipCallPtr& call, const std::string& target);
  void SendDtmf(const ISipCallPtr& call, const std::string& digit);
  ISipConferencePtr CreateConference();
  ISipRecorderPtr CreateRecorder();

  // Event delivery on the consumer's thread: waits up to `timeoutMs` for
  // something to arrive (0: do not wait), then raises an event for every
  // message waiting, in posting order, and runs the engine's Tick when due.
  // An exception raised by an event handler passes to the caller; messages
  // not yet handled stay queued.
  void ProcessMessages(int timeoutMs);
  void SetNotify(std::function<void()> notify) { queue_->SetNotify(std::move(notify)); }

  // The engine while Active (nullptr otherwise). For embedders who need more
  // than the component offers, and for tests.
  ISipEnginePtr Engine() const { return engine_; }
  // The SIP port actually bound (LocalPort 0 lets the system choose).
  int BoundPort() const;

private:
  ISipEngine& RequireEngine() const;
  void HandleMessage(TMessage& message);

  ISipEnginePtr engine_;
  TMessageQueuePtr queue_;
  int localPort_ = 5075;
  bool active_ = false;
  int rtpPortMin_ = 22000;
  int rtpPortMax_ = 24000;
  int silenceThreshold_ = 500;
  int silenceTimeout_ = 5000;
  TDtmfMethod dtmfMethod_ = dtmfInBand;
  std::mutex toneLock_;
  uint32_t lastTick_ = 0;
};

}  // namespace qv
