// TSipEngine: the SIP user agent. It owns the account list, the call list, the
// codec preference list and, while active, the UDP transport.
//
// Threads: user operations come from the application thread; the transport
// thread runs the dispatch of every received datagram (sipdispatch.cpp) and,
// every 50 ms, the timers of the transactions (RunTimers); both take the
// call's or account's lock around field updates, builder and send. Every
// request and response goes through the transaction layer (sip/transaction.h),
// which retransmits, swallows repeats and reports time-outs back here
// (HandleTransactionFailure, transport thread). Tick(), driven by the
// consumer about once a second, holds the slower time-outs: registration
// refresh and its retries, the NAT keep-alive, the 20 s and 120 s rules.
//
// Time: every time-out reads NowMs(), the engine's monotonic clock, which a
// test replaces with SetClock(); the wall clock only stamps what an
// application shows (an account's StateTime, a call's StartTime).
//
// The engine is split by subject: sipengine.cpp (settings, activation, the
// transport, events), sipaccounts.cpp (registration and MESSAGE),
// sipregistration.cpp (refresh, retry and end of a registration),
// sipstun.cpp (the STUN exchange), sipcallcontrol.cpp (the user's operations
// on calls and the INVITE responses), sipdispatch.cpp (incoming requests and
// the other responses), siptimers.cpp (Tick, RunTimers and the transaction
// failures).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dialogs/accounts.h"
#include "dialogs/calls.h"
#include "engine/sipevents.h"
#include "platform/messagequeue.h"
#include "sip/sipints.h"
#include "sip/streamconn.h"
#include "sip/transaction.h"

namespace qv {

class TUdpSocket;

// The RTP minimum port is a library-wide default shared with the component.
constexpr int kDefaultRtpPortMin = 22000;
constexpr int kDefaultRtpPortRange = 2000;

// How many log lines, digits and ringbacks may wait in the consumer's queue; older ones
// are dropped (and counted by the queue) beyond that.
constexpr size_t kMaxWaitingLogLines = 2000;
constexpr size_t kMaxWaitingDigits = 256;
constexpr size_t kMaxWaitingRingbacks = 64;

class TSipEngine final : public ISipEngine, public std::enable_shared_from_this<TSipEngine> {
public:
  // `window` receives the posted events; nullptr stands for "no window" (-1):
  // nothing is posted, log messages included.
  TSipEngine(int localPort, TMessageQueuePtr window);
  ~TSipEngine() override;

  // Activation and the transport (sipengine.cpp).
  bool GetActive() override { return active_; }
  void SetActive(bool value) override;
  int GetLocalPort() override { return localPort_; }
  void SetLocalPort(int value) override { localPort_ = value; }
  int GetBoundPort() override;
  bool SendText(const std::string& text, int port, const std::string& host) override;
  void Log(const std::string& text) override;
  // The transport's receiver: parse, hand to the transactions, dispatch
  // what they let through, log. Transport thread.
  void HandleDatagram(const uint8_t* bytes, int length, const std::string& sourceHost, int sourcePort);

  // The clock of every time-out, in monotonic milliseconds (platform
  // MonotonicMs by default). Tests set their own before SetActive(true).
  using TClock = std::function<int64_t()>;
  void SetClock(TClock clock);
  int64_t NowMs();
  // The transactions' timers and the engine's short ones (the retry after a
  // 491). The transport thread runs it every 50 ms; tests may call it too.
  void RunTimers();
  TTransactionLayer& Transactions() { return *transactions_; }
  // The NAT keep-alive (CR LF CR LF to the server every 25 s while
  // registered), on by default.
  void SetKeepAlive(bool value) override { keepAlive_ = value; }
  bool GetKeepAlive() override { return keepAlive_; }
  // Limits against floods (sipguard.cpp); see ISipEngine.
  int GetMaxCalls() override { return maxCalls_; }
  void SetMaxCalls(int value) override;
  int GetInviteRateLimit() override { return inviteRateLimit_; }
  void SetInviteRateLimit(int value) override;

  // Settings given to new calls (sipengine.cpp).
  void SetCodecs(const std::vector<int>& payloadTypes) override;
  int CodecCount() override;
  int CodecAt(int index) override;
  std::string CodecListText() override;
  int GetRtpPortMin() override { return rtpPortMin_; }
  void SetRtpPortMin(int value) override;
  int GetRtpPortMax() override { return rtpPortMax_; }
  void SetRtpPortMax(int value) override;
  int GetSilenceThreshold() override { return silenceThreshold_; }
  void SetSilenceThreshold(int value) override { silenceThreshold_ = value; }
  int GetSilenceTimeout() override { return silenceTimeout_; }
  void SetSilenceTimeout(int value) override { silenceTimeout_ = value; }
  bool GetEchoCancellation() override { return echoCancellation_; }
  void SetEchoCancellation(bool value) override { echoCancellation_ = value; }
  int NextCSeq() override;
  // Ports are handed out in steps of 2 from minimum + 2; after the one that
  // reaches the maximum the counter starts again at the minimum.
  int NextRtpPort();

  // Accounts and registration (sipaccounts.cpp, sipstun.cpp).
  ISipAccountPtr AddAccount(const std::string& stunServer, const std::string& server,
                            const std::string& userName, const std::string& password,
                            const std::string& proxy) override;
  void RemoveAccount(const ISipAccountPtr& account) override;
  void PrepareAccount(const ISipAccountPtr& account) override;
  void StartRegistration(const ISipAccountPtr& account) override;
  void Register(const ISipAccountPtr& account) override;
  void Unregister(const ISipAccountPtr& account) override;
  ISipAccountPtr FindAccountByCallId(const std::string& callId) override;
  void SendMessage(const ISipAccountPtr& account, const std::string& user,
                   const std::string& text) override;

  // Calls (sipcallcontrol.cpp).
  ISipCallPtr Invite(const ISipAccountPtr& account, const std::string& target, int inputDevice,
                     int outputDevice) override;
  void Answer(const ISipCallPtr& call) override;
  void Busy(const ISipCallPtr& call) override;
  void HangUp(const ISipCallPtr& call) override;
  void Hold(const ISipCallPtr& call) override;
  void Unhold(const ISipCallPtr& call) override;
  void Transfer(const ISipCallPtr& call, const std::string& target) override;
  void DropCall(const ISipCallPtr& call) override;
  ISipCallPtr FindCallByCallId(const std::string& callId) override;
  void SendDtmfInfo(const ISipCallPtr& call, const std::string& digit) override;
  void SendNextDtmfInfo(const ISipCallPtr& call);  // under the call's lock
  void SendDtmfRfc2833(const ISipCallPtr& call, const std::string& digits) override;
  void PlayWavFile(const ISipCallPtr& call, const std::string& fileName) override;
  void PlayWavStream(const ISipCallPtr& call, std::istream& stream, int64_t size) override;

  // Events (sipengine.cpp).
  void NotifyCallState(const ISipCallPtr& call, int state) override;
  void NotifyDtmf(const ISipCallPtr& call, const std::string& text) override;
  void NotifySilence(const ISipCallPtr& call) override;
  void NotifyWavStopped(const ISipCallPtr& call) override;
  void NotifyDeviceError(const ISipCallPtr& call, bool input, const std::string& reason) override;

  // Time-outs (siptimers.cpp).
  void Tick() override;

  // The lists, for tests (counting live calls).
  TSipAccounts& Accounts() { return accounts_; }
  TSipCalls& Calls() { return calls_; }

private:
  // Hangs up connected calls and removes registrations before going inactive.
  void DeactivateDialogs();
  void Post(uint32_t msg, uintptr_t wParam, IInterfacePtr obj);
  void RequireActive();
  // The SIP port to put into our messages: the bound one when active.
  int SipPort();

  // Sending, always through the transactions: a request to the account's
  // server, a response where the request's top Via says (RFC 3261 18.2.2).
  void SendRequest(ISipAccount& account, const std::string& text);
  void SendInDialog(ISipCall& call, const std::string& text);
  void SendResponse(const std::string& text);
  // What the transaction layer sends with.
  TSendResult TransportSend(const std::string& text, const std::string& host, int port);
  // The account's server address from its proxy, or else its domain, when
  // it has none yet (DNS SRV first for a name without a port). False when
  // the name cannot be resolved. Never on the transport thread.
  bool ResolveServer(ISipAccount& account);
  // Server resolved and our port set, when the account has not been through
  // a registration yet.
  void EnsureServer(ISipAccount& account);
  // The account an incoming request belongs to: the first of the list, prepared.
  ISipAccountPtr RequestAccount();

  // Call control helpers (sipcallcontrol.cpp).
  void RegisterWithCredentials(const ISipAccountPtr& account, int expires);
  void SendMessageWithCredentials(const TSipMessage& response, const ISipAccountPtr& account,
                                  const std::string& user);
  void SendReInvite(const ISipCallPtr& call);
  void TransferWithCredentials(const ISipCallPtr& call);
  void HandleInviteMessage(const ISipCallPtr& call, const TSipMessage& message);
  // The first entry of our codec list that the message's SDP lists (by its
  // a=rtpmap, or its static number); -1 when none.
  int ChooseCodec(const TSipMessage& message);
  // Gives the call codec `chosen` and the payload types of the message's SDP;
  // `weOffered`: the SDP answers our offer.
  void SetCallCodec(ISipCall& call, const TSipMessage& message, int chosen, bool weOffered);
  void ChooseCodecAgain(ISipCall& call, const TSipMessage& message, bool weOffered);
  void StartMedia(ISipCall& call);
  void StopMedia(ISipCall& call);

  // Calls, continued: the end of a call that still has a request out, the
  // answers to our re-INVITEs, what a transaction's failure means.
  void EndWithBye(const ISipCallPtr& call, const std::string& status);
  void AcceptAnswer(const ISipCallPtr& call, const TSipMessage& message);
  void HandleReInviteResponse(const ISipCallPtr& call, const TSipMessage& message);
  void HandleReInviteRequest(const ISipCallPtr& call, const TSipMessage& message);
  void RestoreAfterReInvite(ISipCall& call);
  void RunDialogTimers();
  void HandleTransactionFailure(const TTransactionFailure& failure);

  // Registration (sipregistration.cpp), under the account's lock.
  void RegistrationSucceeded(const ISipAccountPtr& account, const TSipMessage& response);
  void RefreshFailed(const ISipAccountPtr& account, const TRegistrationEndReason& why);
  void EndRegistration(const ISipAccountPtr& account, const TRegistrationEndReason& why);
  void RegistrationTimers(const ISipAccountPtr& account, int64_t now);
  void SendRegister(const ISipAccountPtr& account);

  // SIP over TCP and TLS (sipstreams.cpp): the account's connection to its
  // server, made when it has none that is open (under the account's lock);
  // a message read from a connection (its thread); a send to host:port over
  // the connection there, `handled` false when there is none; the end of a
  // connection (its thread); and the ended connections let go (their
  // threads joined: never under a lock; `all`: every connection).
  void EnsureStream(ISipAccount& account);
  void HandleStreamMessage(const std::string& text, const std::string& host, int port);
  TSendResult StreamSend(const std::string& text, const std::string& host, int port, bool& handled);
  void StreamClosed(const std::string& key, int serial, const std::string& reason, bool insecure);
  void ReapStreams(bool all);

  // STUN (sipstun.cpp).
  void HandleStunAnswer(const std::string& datagram);

  // Guards against hostile peers (sipguard.cpp), transport thread.
  void NoteDatagramSource(const std::string& host, int port);
  bool FromAccountServer(ISipAccount& account);
  void RefuseStatelessly(const TSipMessage& message, const std::string& status);
  bool AcceptInDialog(const ISipCallPtr& call, const TSipMessage& message);
  void NoSuchDialog(const TSipMessage& message);
  bool CancelMatches(ISipCall& call, const TSipMessage& message);
  int CallsHoldingALine();
  bool AdmitNewInvite(const TSipMessage& message, ISipAccount& account);
  bool RealmAllowed(ISipAccount& account, const TSipMessage& challenge, bool mayLearn);

  // Dispatch (sipdispatch.cpp).
  void Dispatch(const TSipMessage& message);
  void HandleCancel(const TSipMessage& message);
  void HandleRefer(const TSipMessage& message);
  void HandleInvite(const TSipMessage& message);
  void HandleBye(const TSipMessage& message);
  void HandleInfo(const TSipMessage& message);
  void HandleOptions(const TSipMessage& message);
  void HandleMessage(const TSipMessage& message);
  void HandleNotify(const TSipMessage& message);
  void HandleRegisterResponse(const TSipMessage& message);
  void FinishCancelledCall(const ISipCallPtr& call, const TSipMessage& response);
  // Runs `step`, then ends the call (state 0, `status`, DropCall) even when
  // the step raised; the exception passes on afterwards.
  void EndAfter(const ISipCallPtr& call, const std::string& status, const std::function<void()>& step);

  const TMessageQueuePtr window_;
  std::atomic<int> localPort_;
  std::atomic<bool> active_{false};
  std::atomic<int> cseq_{0};
  std::atomic<int> rtpPort_{kDefaultRtpPortMin};
  std::atomic<int> rtpPortMin_{kDefaultRtpPortMin};
  std::atomic<int> rtpPortMax_{kDefaultRtpPortMin + kDefaultRtpPortRange};
  std::atomic<int> silenceThreshold_{kDefaultSilenceThreshold};
  std::atomic<int> silenceTimeout_{5000};
  std::atomic<bool> echoCancellation_{true};

  std::mutex codecsLock_;
  std::vector<int> codecs_;

  std::mutex transportLock_;  // guards the pointer, not the sends
  std::shared_ptr<TUdpSocket> transport_;
  TClock clock_;  // set before activation; empty: the platform's monotonic clock
  std::unique_ptr<TTransactionLayer> transactions_;
  std::atomic<bool> keepAlive_{true};
  // The earliest engine timer of RunDialogTimers (0: none), so that the
  // transport thread looks at the calls only when one is due.
  std::atomic<int64_t> dialogTimerAt_{0};

  // One received message is dispatched at a time, from the UDP thread or a
  // connection's.
  std::mutex dispatchLock_;
  struct TStreamEntry {
    TStreamConnectionPtr connection;
    int serial = 0;
  };
  std::mutex streamsLock_;  // guards the two lists, not the sends
  std::map<std::string, TStreamEntry> streams_;  // by server "address:port"
  std::vector<TStreamConnectionPtr> deadStreams_;
  std::atomic<int> streamSerial_{0};

  std::atomic<int> maxCalls_{32};
  std::atomic<int> inviteRateLimit_{10};
  // The source of the datagram in hand, and the new INVITEs each source sent
  // within its current second. Under dispatchLock_ (the UDP thread or a
  // connection's).
  struct TInviteWindow {
    int64_t start = 0;
    int count = 0;
  };
  std::string datagramHost_;
  int datagramPort_ = 0;
  std::map<std::string, TInviteWindow> inviteRates_;

  TSipAccounts accounts_;
  TSipCalls calls_;
};

// Constructs an engine (inactive) and returns its interface.
ISipEnginePtr CreateSipEngine(int localPort, TMessageQueuePtr window);

}  // namespace qv
