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
// Timers: while Active, ProcessMessages() also runs the engine's Tick() once a
// second (registration refresh, the STUN, REGISTER and call set-up
// time-outs). Nothing else drives it, so a consumer must call ProcessMessages
// at least once a second even when it expects no event: a one-second timer in
// a GUI, or a loop around ProcessMessages(1000) in a console program.
//
// Events run under these rules: OnBye and OnRingback are raised while the
// call's lock is held, so their handlers must not wait for anything a worker
// thread holding that lock waits for; OnInviteOk is raised by Answer itself,
// OnBye by Reject and by Transfer of a ringing call, before they return.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/messagequeue.h"
#include "sip/sipints.h"

namespace qv {

enum TDtmfMethod { dtmfInBand = 0, dtmfRFC2833 = 1, dtmfSipInfo = 2 };

class TSipClient;

using TOnLog = std::function<void(TSipClient& sender, const std::string& text)>;
using TOnCallEvent = std::function<void(TSipClient& sender, const ISipCallPtr& call)>;
using TOnDtmf = std::function<void(TSipClient& sender, const ISipCallPtr& call, const std::string& dtmf)>;
using TOnAccountEvent = std::function<void(TSipClient& sender, const ISipAccountPtr& account)>;
using TOnDeviceError = std::function<void(TSipClient& sender, const ISipCallPtr& call, bool input,
                                          const std::string& reason)>;

class TSipClient {
public:
  TSipClient();
  // Switches a running engine off (BYE for connected calls, un-REGISTER) and
  // drops the events still queued.
  ~TSipClient();
  TSipClient(const TSipClient&) = delete;
  TSipClient& operator=(const TSipClient&) = delete;

  // Events; an unassigned event is skipped. A handler that keeps the call or
  // account keeps its own shared_ptr.
  TOnLog OnLog;                    // the raw text of every received datagram
  TOnCallEvent OnInvite;           // an incoming call rings (state 3)
  TOnCallEvent OnInviteOk;         // a call was answered (after Answer, or a 200 from the peer)
  TOnDtmf OnDtmf;                  // a digit arrived, or "s" for remote silence
  TOnCallEvent OnWavStopped;       // a WAV source played into a call ran out
  TOnCallEvent OnBye;              // a call ended (state 0), or was rejected; also at once when we hang up
  TOnCallEvent OnRingback;         // the remote side rings (180)
  TOnAccountEvent OnRegistrationOk;   // registered (not repeated when a refresh succeeds)
  // The registration ended (state 0): account->GetEndReason() says why
  // (refused with a status code, no answer, an unknown server name, or
  // removed on request).
  TOnAccountEvent OnRegistrationBye;
  // A sound device of `call` could not be opened: `input` true for the
  // microphone (the call then sends silence, or what it plays, on its own
  // clock, so digits and files still go out), false for the speaker (the call
  // plays nothing; recorder and conference still get the remote audio).
  // `reason` is the device's English error text, e.g. "No device driver is
  // present.". Raised once per device and media start.
  TOnDeviceError OnDeviceError;

  // Properties. Ports reach the engine when it is created and the DTMF method
  // is read by every SendDtmf; the silence settings also reach a running
  // engine at once. Defaults: LocalPort 5075, RtpPortMin 22000, RtpPortMax
  // 24000, SilenceThreshold kDefaultSilenceThreshold (1), SilenceTimeout
  // 5000 ms, dtmfInBand.
  //
  // SilenceThreshold: a received frame counts as silent when the threshold
  // is above its power, measured both in the DTMF detector's bins and over the
  // whole band, on the scale where a sine of amplitude A (1.0 = full scale)
  // reads 6400 A^2: 1 is a frame at about -38 dBFS, so speech at -35 dBFS and
  // louder is never silence and line noise at -60 dBFS is. 0 turns the watch
  // off; 500, the old default, still means a sine below about -8 dBFS.
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
  // Echo cancellation and noise suppression of the microphone, on by default;
  // reaches the calls already running at once.
  bool GetEchoCancellation() const { return echoCancellation_; }
  void SetEchoCancellation(bool value);
  // Secure calls, given to every account AddAccount makes from then on (an
  // embedder with several accounts may also set each account's own):
  // Transport: how SIP reaches the server, TSipTransport::Udp by default.
  // SrtpMode: TSrtpMode::Off (plain RTP, the default), Optional (keys
  // offered in RTP/AVP, a peer without SRTP gets plain RTP) or Mandatory
  // (RTP/SAVP; a call without SRTP is refused: an incoming one with 488, an
  // outgoing one ends with end status "488").
  // CaFile: PEM file of certificates trusted for TLS besides the system's.
  // SrtpKeysWithoutTls: SRTP keys travel in the SDP, readable by anyone on
  // the path unless SIP runs over TLS; by default they are sent only over
  // TLS (an optional account then calls in the clear, a mandatory one raises
  // on MakeCall and refuses incoming calls). true sends them anyway.
  TSipTransport GetTransport() const { return transport_; }
  void SetTransport(TSipTransport value) { transport_ = value; }
  TSrtpMode GetSrtpMode() const { return srtpMode_; }
  void SetSrtpMode(TSrtpMode value) { srtpMode_ = value; }
  const std::string& GetCaFile() const { return caFile_; }
  void SetCaFile(const std::string& value) { caFile_ = value; }
  bool GetSrtpKeysWithoutTls() const { return srtpKeysWithoutTls_; }
  void SetSrtpKeysWithoutTls(bool value) { srtpKeysWithoutTls_ = value; }
  // Wideband: calls offer Opus first, then G.722, then the narrowband codecs
  // (G.711, GSM, Speex); false (the default): the narrowband codecs only, as
  // this component always offered. Takes effect for calls made or answered
  // from then on.
  bool GetWideband() const { return wideband_; }
  void SetWideband(bool value);
  // The NAT keep-alive: an empty CR LF CR LF datagram to the registrar every
  // 25 s while an account is registered, so that a NAT router keeps the way
  // in open for calls. On by default; read when the engine is created, and
  // passed on at once to a running one.
  bool GetKeepAlive() const { return keepAlive_; }
  void SetKeepAlive(bool value);
  // Limits against a flood of calls (a scanner, a hostile peer), read when
  // the engine is created and passed on at once to a running one. MaxCalls
  // (default 32): with that many calls, a new incoming one is answered 486
  // and nothing of it is kept. InviteRateLimit (default 10, 0 = no limit):
  // new INVITEs taken from one address within a second; beyond it they are
  // answered 503 and forgotten.
  int GetMaxCalls() const { return maxCalls_; }
  void SetMaxCalls(int value);
  int GetInviteRateLimit() const { return inviteRateLimit_; }
  void SetInviteRateLimit(int value);
  bool GetActive() const { return active_; }
  // true: creates a new engine (a running one is switched off first, which
  // frees its port) and opens the SIP port. A port in use raises and leaves
  // Active true with an engine that is not running. false: switches the
  // engine off (BYE for connected calls, un-REGISTER) and releases it.
  void SetActive(bool value);

  // Operations. All but CreateConference and CreateRecorder need Active and
  // raise "not active" without it; engine errors pass through unchanged.
  ISipAccountPtr AddAccount(const std::string& server, const std::string& userName,
                            const std::string& password, const std::string& proxy,
                            const std::string& stunServer);
  void Register(const ISipAccountPtr& account);
  void Unregister(const ISipAccountPtr& account);
  // Does to the account what a registration does to its addresses (server
  // resolved from the proxy or the domain, local address towards it, SIP
  // port) and sends nothing: for calls to and from a peer that is reached
  // directly, without a registrar. A server on this machine gets 127.0.0.1
  // as the local address, so nothing leaves the loopback interface.
  void PrepareAccount(const ISipAccountPtr& account);
  // Why a registration that OnRegistrationBye reports came to an end, in
  // two kinds: the registrar did not answer (or stopped answering refreshes
  // until the binding ran out), or anything else, a refusal above all.
  // account->GetEndReason() has the whole of it: the refusal's status code,
  // a server name that resolves to nothing, an un-registration.
  enum class TRegistrationEnd { NoAnswer, Refused };
  static TRegistrationEnd RegistrationEnd(const ISipAccountPtr& account);
  // Takes an account off the engine: incoming requests are no longer
  // answered through it. Nothing is sent (Unregister first, and wait for
  // OnRegistrationBye, to end its registration).
  void RemoveAccount(const ISipAccountPtr& account);
  ISipCallPtr MakeCall(const ISipAccountPtr& account, const std::string& number, int inputDevice,
                       int outputDevice);
  void Answer(const ISipCallPtr& call);  // raises OnInviteOk at once
  void Reject(const ISipCallPtr& call);  // busy answer, then OnBye at once
  void HangUp(const ISipCallPtr& call);
  void Hold(const ISipCallPtr& call);
  void Unhold(const ISipCallPtr& call);
  // A ringing incoming call is redirected and raises OnBye at once; any other
  // call is referred to `target` and ends when the peer's NOTIFY arrives.
  void Transfer(const ISipCallPtr& call, const std::string& target);
  // By DtmfMethod: RFC 2833 queues every digit of the string on the call; SIP
  // INFO sends one INFO per digit; in band plays the tone of the first digit
  // ("0"-"9", "*", "#") into the call, then OnWavStopped. A digit without a
  // tone, or an empty string, sends nothing.
  void SendDtmf(const ISipCallPtr& call, const std::string& digit);
  ISipConferencePtr CreateConference();
  ISipRecorderPtr CreateRecorder();

  // Event delivery on the consumer's thread: waits up to `timeoutMs` for
  // something to arrive (0: do not wait; -1: until something arrives), then
  // raises an event for every message waiting, in posting order, and runs the
  // engine's Tick when a second has passed since the last one. While Active,
  // a wait never outlasts the next Tick. An exception raised by an event
  // handler passes to the caller; messages not yet handled stay queued.
  void ProcessMessages(int timeoutMs);
  // The same, also returning early when one of `fds` becomes readable (one
  // flag per fd in `readable`): a console program waits on its input and its
  // events with one call.
  void ProcessMessages(int timeoutMs, const std::vector<int>& fds, std::vector<bool>* readable);
  // Any thread may trigger the hook; see the file comment. Cleared when the
  // component is destroyed.
  void SetNotify(std::function<void()> notify) { queue_->SetNotify(std::move(notify)); }

  // The engine while Active (nullptr otherwise). For embedders who need more
  // than the component offers (PlayWavFile, SendMessage), and for tests.
  ISipEnginePtr Engine() const { return engine_; }
  // Log lines the engine dropped because too many were waiting (a flood of
  // datagrams while ProcessMessages was not called); digits likewise.
  size_t DroppedLogLines() const;
  // The SIP port actually bound (LocalPort 0 lets the system choose).
  int BoundPort() const;

private:
  ISipEngine& RequireEngine() const;
  void HandleMessage(TMessage& message);
  void OfferIncomingCall(const ISipCallPtr& call);
  void TickWhenDue();

  ISipEnginePtr engine_;
  TMessageQueuePtr queue_;
  int localPort_ = 5075;
  bool active_ = false;
  int rtpPortMin_;
  int rtpPortMax_;
  int silenceThreshold_ = kDefaultSilenceThreshold;
  int silenceTimeout_ = 5000;
  bool echoCancellation_ = true;
  bool wideband_ = false;
  TDtmfMethod dtmfMethod_ = dtmfInBand;
  TSipTransport transport_ = TSipTransport::Udp;
  TSrtpMode srtpMode_ = TSrtpMode::Off;
  std::string caFile_;
  bool srtpKeysWithoutTls_ = false;
  bool keepAlive_ = true;
  int maxCalls_ = 32;
  int inviteRateLimit_ = 10;
  std::mutex toneLock_;
  uint32_t lastTick_ = 0;
};

}  // namespace qv
