// Engine core: settings, activation and deactivation, the transport, the
// datagram handler and the events posted to the consumer.
#include <chrono>
#include <thread>

#include "dialogs/siprequests.h"
#include "engine/engineutil.h"
#include "engine/logmessage.h"
#include "engine/sipengine.h"
#include "media/codecs.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/lockguard.h"
#include "platform/textutil.h"
#include "sip/contact.h"
#include "sip/iputils.h"
#include "sip/sipmessage.h"
#include "sip/udp.h"

namespace qv {

TSipEngine::TSipEngine(int localPort, TMessageQueuePtr window)
    : window_(std::move(window)), localPort_(localPort) {
  codecs_ = NarrowbandCodecs();
  // The layer lives as long as the engine; it reaches back only through
  // these three, which the engine's destructor outlives.
  transactions_ = std::make_unique<TTransactionLayer>(
      [this] { return NowMs(); },
      [this](const std::string& text, const std::string& host, int port) { return TransportSend(text, host, port); },
      [](const TSipMessage& response) { return BuildAckFromResponse(response); });
  transactions_->SetFailureHandler([this](const TTransactionFailure& failure) { HandleTransactionFailure(failure); });
}

void TSipEngine::SetClock(TClock clock) { clock_ = std::move(clock); }

int64_t TSipEngine::NowMs() { return clock_ ? clock_() : MonotonicMs(); }

TSipEngine::~TSipEngine() {
  try {
    SetActive(false);
  } catch (...) {
    // Sends of the farewell BYE/un-REGISTER may fail; the engine goes anyway.
  }
}

ISipEnginePtr CreateSipEngine(int localPort, TMessageQueuePtr window) {
  return std::make_shared<TSipEngine>(localPort, std::move(window));
}

void TSipEngine::SetCodecs(const std::vector<int>& payloadTypes) {
  std::vector<int> list;
  for (int pt : payloadTypes)
    if (pt != 110 || SpeexAvailable()) list.push_back(pt);
  std::lock_guard<std::mutex> guard(codecsLock_);
  codecs_ = std::move(list);
}

int TSipEngine::CodecCount() {
  std::lock_guard<std::mutex> guard(codecsLock_);
  return int(codecs_.size());
}

int TSipEngine::CodecAt(int index) {
  std::lock_guard<std::mutex> guard(codecsLock_);
  return codecs_.at(size_t(index));
}

std::string TSipEngine::CodecListText() {
  std::lock_guard<std::mutex> guard(codecsLock_);
  std::string text;
  for (int pt : codecs_) {
    if (!text.empty()) text += ' ';
    text += std::to_string(pt);
  }
  return text;
}

int TSipEngine::NextCSeq() { return ++cseq_; }

int TSipEngine::NextRtpPort() {
  int port = rtpPort_.fetch_add(2) + 2;
  if (port >= rtpPortMax_) rtpPort_ = rtpPortMin_.load();
  return port;
}

void TSipEngine::SetRtpPortMin(int value) {
  rtpPortMin_ = value;
  int current = rtpPort_;
  while (current < value && !rtpPort_.compare_exchange_weak(current, value)) {
  }
}

void TSipEngine::SetRtpPortMax(int value) {
  rtpPortMax_ = value;
  if (value < rtpPort_) rtpPort_ = rtpPortMin_.load();
}

void TSipEngine::SetActive(bool value) {
  if (value) {
    if (active_.exchange(true)) throw Exception("Already active");
    // A bind failure raises from here and leaves the engine marked active
    // without a transport, as callers of the component expect.
    auto transport = std::make_shared<TUdpSocket>(localPort_);
    transactions_->Clear();
    std::weak_ptr<TSipEngine> weak = weak_from_this();
    transport->SetReceiver([weak](const std::string& host, int port, int length, const uint8_t* bytes) {
      // Hold the engine for the whole datagram.
      if (std::shared_ptr<TSipEngine> self = weak.lock()) self->HandleDatagram(bytes, length, host, port);
    });
    transport->SetTimer([weak] {
      if (std::shared_ptr<TSipEngine> self = weak.lock()) self->RunTimers();
    });
    std::lock_guard<std::mutex> guard(transportLock_);
    transport_ = std::move(transport);
    return;
  }
  DeactivateDialogs();
  active_ = false;
  std::shared_ptr<TUdpSocket> transport;
  {
    std::lock_guard<std::mutex> guard(transportLock_);
    transport.swap(transport_);
  }
  transport.reset();  // joins the transport thread unless a send still holds it
  ReapStreams(true);
  transactions_->Clear();
  // A datagram handled while the dialogs were being ended may have listed a
  // new call or changed an account; inactive, the engine keeps none.
  accounts_.Clear();
  calls_.Clear();
}

// Goodbyes before the socket closes: BYE for every call in a dialog (held
// ones too), un-REGISTER for every registered account. The transport thread
// keeps answering challenges meanwhile; the wait ends when every account has
// left the registrar and every BYE has its answer, or after about 2 s.
void TSipEngine::DeactivateDialogs() {
  std::vector<ISipCallPtr> byes;
  std::vector<ISipAccountPtr> leaving;
  {
    TLockGuard<TSipCalls> lock(calls_);
    for (int i = 0; i < calls_.Count(); ++i) {
      ISipCallPtr call = calls_.Item(i);
      bool inDialog;
      {
        TLockGuard<ISipCall> callLock(*call);
        inDialog = call->Dialog().confirmed && !call->Dialog().ended;
      }
      if (!inDialog) continue;
      try {
        HangUp(call);
        byes.push_back(call);
      } catch (...) {
        // Going inactive must finish even when a farewell cannot be sent.
      }
    }
  }
  {
    TLockGuard<TSipAccounts> lock(accounts_);
    for (int i = 0; i < accounts_.Count(); ++i) {
      ISipAccountPtr account = accounts_.Item(i);
      if (account->State() != TAccountState::Registered) continue;
      try {
        Unregister(account);
        leaving.push_back(account);
      } catch (...) {
      }
    }
  }
  auto done = [&] {
    for (const ISipAccountPtr& account : leaving)
      if (account->State() != TAccountState::Idle) return false;
    for (const ISipCallPtr& call : byes)
      if (FindCallByCallId(call->GetCallId()) == call) return false;
    return true;
  };
  // Real time, not the engine's clock: this waits for the network.
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFarewellWaitMs);
  while (!done() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  accounts_.Clear();
  calls_.Clear();
}

void TSipEngine::RequireActive() {
  if (!active_) throw Exception("not active");
}

int TSipEngine::SipPort() {
  int bound = GetBoundPort();
  return bound ? bound : int(localPort_);
}

int TSipEngine::GetBoundPort() {
  std::lock_guard<std::mutex> guard(transportLock_);
  return transport_ ? transport_->Port() : 0;
}

bool TSipEngine::SendText(const std::string& text, int port, const std::string& host) {
  std::shared_ptr<TUdpSocket> transport;
  {
    std::lock_guard<std::mutex> guard(transportLock_);
    transport = transport_;
  }
  if (!transport) return false;
  return transport->Send(host, port, int(text.size()), text.data());
}

TSendResult TSipEngine::TransportSend(const std::string& text, const std::string& host, int port) {
  bool overStream = false;
  TSendResult result = StreamSend(text, host, port, overStream);
  if (overStream) return result;
  std::shared_ptr<TUdpSocket> transport;
  {
    std::lock_guard<std::mutex> guard(transportLock_);
    transport = transport_;
  }
  if (!transport || host.empty() || host == "0.0.0.0") return TSendResult::Dropped;
  return transport->Send(host, port, int(text.size()), text.data()) ? TSendResult::Sent : TSendResult::Busy;
}

void TSipEngine::SendRequest(ISipAccount& account, const std::string& text) {
  if (account.GetTransport() != TSipTransport::Udp) EnsureStream(account);
  transactions_->SendRequest(text, account.GetServer(), account.GetServerPort());
}

// A request inside a dialog goes to the first entry of its route set, else
// to the remote target (RFC 3261 12.2.1.1): behind a second proxy, or on a
// call from a peer that is not our server, the server is not the next hop.
// Only an address is taken, since no name is looked up on the transport
// thread; a name, or a stream transport (whose connection to the server is
// the dialog's flow), leaves the request to the account's server.
void TSipEngine::SendInDialog(ISipCall& call, const std::string& text) {
  ISipAccount& account = *call.GetAccount();
  std::string route = call.FirstRoute();
  TUriHop hop = UriHop(route.empty() ? call.GetRemoteTarget() : route);
  if (account.GetTransport() != TSipTransport::Udp || !IsIpAddress(hop.Host)) {
    SendRequest(account, text);
    return;
  }
  transactions_->SendRequest(text, hop.Host, hop.Port);
}

void TSipEngine::SendResponse(const std::string& text) { transactions_->SendResponse(text); }

void TSipEngine::HandleDatagram(const uint8_t* bytes, int length, const std::string& sourceHost, int sourcePort) {
  std::lock_guard<std::mutex> guard(dispatchLock_);
  TSipMessage message(std::string_view(reinterpret_cast<const char*>(bytes), size_t(length)));
  NoteDatagramSource(sourceHost, sourcePort);
  // A retransmission was answered by its transaction and goes no further.
  if (transactions_->Receive(message, sourceHost, sourcePort)) Dispatch(message);
  Log(message.RawText);
}

void TSipEngine::Post(uint32_t msg, uintptr_t wParam, IInterfacePtr obj) {
  if (window_) window_->Post(msg, wParam, 0, std::move(obj));
}

// Log lines and digits may be lost to a consumer that cannot keep up (a flood
// of junk datagrams, a peer streaming events); call and registration events
// never are, and those are bounded by the calls and accounts that exist.
void TSipEngine::Log(const std::string& text) {
  if (window_) window_->PostBounded(MsgLog, kMaxWaitingLogLines, 0, std::make_shared<TLogMessage>(text));
}

void TSipEngine::NotifySilence(const ISipCallPtr& call) {
  if (window_) window_->PostBounded(MsgDtmf, kMaxWaitingDigits, 's', call);
}

void TSipEngine::NotifyDtmf(const ISipCallPtr& call, const std::string& text) {
  if (window_ && !text.empty()) window_->PostBounded(MsgDtmf, kMaxWaitingDigits, uintptr_t(uint8_t(text[0])), call);
}

void TSipEngine::NotifyCallState(const ISipCallPtr& call, int state) {
  if (TCallState(state) == TCallState::Idle) Post(MsgCallEnded, 0, call);
}

void TSipEngine::NotifyWavStopped(const ISipCallPtr& call) { Post(MsgWavStopped, 0, call); }

void TSipEngine::NotifyDeviceError(const ISipCallPtr& call, bool input, const std::string& reason) {
  Post(MsgDeviceError, input ? 1 : 0, std::make_shared<TDeviceErrorEvent>(call, input, reason));
}

}  // namespace qv
