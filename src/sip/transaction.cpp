#include "sip/transaction.h"

#include <algorithm>

#include "platform/textutil.h"
#include "sip/sipmessage.h"
#include "sip/via.h"

namespace qv {

namespace {

// A send the socket refused is tried again this much later.
constexpr int64_t kBusyRetryMs = 10;
// How long a refused stateless send (a response without transaction) is tried.
constexpr int64_t kStatelessRetryForMs = 2000;
// RFC 3261 17.1.1.2: timer D is at least 32 s over UDP.
constexpr int64_t kTimerDMs = 32000;
// A request we are still answering has no timer of its own; nor has an
// INVITE of ours that rings. These bounds only keep a table that nobody
// finishes from growing: above the engine's 120 s set-up limit.
constexpr int64_t kInviteLifetimeMs = 300000;

bool IsFinal(int status) { return status >= 200; }

// A transaction key: branch, sent-by and method (RFC 3261 17.2.3), or for a
// peer without the magic cookie what RFC 2543 matched on.
std::string ServerKey(const TTopVia& via, const TSipMessage& m, std::string method) {
  if (method == "ACK") method = "INVITE";
  if (IsRfc3261Branch(via.Branch)) return via.Branch + "|" + via.SentBy + "|" + method;
  return "2543|" + m.CallId + "|" + m.CSeqNumber + "|" + m.FromTag + "|" + via.SentBy + "|" + method;
}

std::string ClientKey(const std::string& branch, const std::string& method) { return branch + "|" + method; }

}  // namespace

struct TTransactionLayer::TClient {
  enum class TState { Calling, Proceeding, Completed, Accepted };
  bool invite = false;
  std::string method, callId;
  int cseq = 0;
  std::string request, host;
  int port = 0;
  TState state = TState::Calling;
  int64_t interval = 0;      // the current retransmission interval
  int64_t retransmitAt = 0;  // timer A or E; 0: not running
  int64_t timeoutAt = 0;     // timer B or F; 0: not running
  int64_t endAt = 0;         // timer D, K, or the end of "accepted"; 0: not running
  std::string ack;           // the ACK sent for the final answer
  std::string ackHost;
  int ackPort = 0;
  std::string ackToTag;      // the To tag of the 2xx that ACK acknowledges
  std::string owed;          // a send the socket refused, with where it goes
  std::string owedHost;
  int owedPort = 0;
  int64_t owedAt = 0;
};

struct TTransactionLayer::TServer {
  enum class TState { Trying, Proceeding, Completed, Confirmed, Accepted };
  bool invite = false;
  std::string callId;
  int cseq = 0;
  std::string host;  // where its responses go
  int port = 0;
  TState state = TState::Trying;
  std::string last;  // the last response sent
  int64_t interval = 0;
  int64_t retransmitAt = 0;  // timer G, or the 2xx repeats
  int64_t timeoutAt = 0;     // timer H, or the end of the wait for the 2xx's ACK
  int64_t endAt = 0;         // timers I, J, or the lifetime of an unanswered request
  bool acked = false;        // the ACK of our 2xx came
  std::string owed;
  int64_t owedAt = 0;
};

struct TTransactionLayer::TPendingSend {
  std::string text, host;
  int port = 0;
  int64_t retryAt = 0;
  int64_t giveUpAt = 0;
};

TTransactionLayer::TTransactionLayer(TClock clock, TSender sender, TAckBuilder ackBuilder,
                                     TTransactionTimers timers)
    : clock_(std::move(clock)), sender_(std::move(sender)), ackBuilder_(std::move(ackBuilder)), timers_(timers) {}

TTransactionLayer::~TTransactionLayer() = default;

void TTransactionLayer::SetFailureHandler(TFailureHandler handler) {
  std::lock_guard<std::mutex> guard(mutex_);
  onFailure_ = std::move(handler);
}

void TTransactionLayer::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  clients_.clear();
  servers_.clear();
  pending_.clear();
}

int TTransactionLayer::Count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return int(clients_.size() + servers_.size());
}

// Under mutex_. `busy` tells the caller to owe the text; a Dropped send is
// neither sent nor owed.
void TTransactionLayer::Send(const std::string& text, const std::string& host, int port, bool& busy,
                             int64_t& retryAt) {
  busy = sender_(text, host, port) == TSendResult::Busy;
  if (busy) retryAt = clock_() + kBusyRetryMs;
}

void TTransactionLayer::SendStateless(const std::string& text, const std::string& host, int port) {
  bool busy;
  int64_t retryAt;
  Send(text, host, port, busy, retryAt);
  if (busy) pending_.push_back({text, host, port, retryAt, clock_() + kStatelessRetryForMs});
}

// ---- client side ------------------------------------------------------------

void TTransactionLayer::SendRequest(const std::string& text, const std::string& host, int port) {
  TSipMessage m(text);
  TTopVia via = ParseTopVia(text);
  const std::string& method = m.CSeqMethod;
  const int64_t now = clock_();
  std::lock_guard<std::mutex> guard(mutex_);
  if (method == "ACK") {
    // The ACK of a final answer belongs to the INVITE transaction it ends.
    TClientPtr invite;
    auto it = clients_.find(ClientKey(via.Branch, "INVITE"));
    if (it != clients_.end()) invite = it->second;
    for (auto& [key, tx] : clients_)
      if (!invite && tx->invite && tx->callId == m.CallId && tx->cseq == ToIntDef(m.CSeqNumber, -1)) invite = tx;
    if (invite && invite->state == TClient::TState::Completed && !invite->ack.empty()) return;  // acknowledged here
    if (invite) {
      invite->ack = text;
      invite->ackHost = host;
      invite->ackPort = port;
    }
    SendStateless(text, host, port);
    return;
  }
  if (method == "CANCEL") {
    // RFC 3261 9.1: the INVITE it cancels waits 64*T1 more for its final answer.
    auto it = clients_.find(ClientKey(via.Branch, "INVITE"));
    if (it != clients_.end() && it->second->state != TClient::TState::Completed)
      it->second->endAt = now + 64 * timers_.T1;
  }
  auto tx = std::make_shared<TClient>();
  tx->invite = method == "INVITE";
  tx->method = method;
  tx->callId = m.CallId;
  tx->cseq = ToIntDef(m.CSeqNumber, 0);
  tx->request = text;
  tx->host = host;
  tx->port = port;
  tx->interval = timers_.T1;
  // RFC 3261 17.1.1.2, 17.1.2.2: timers A and E only on an unreliable transport.
  tx->retransmitAt = via.Reliable ? 0 : now + timers_.T1;
  tx->timeoutAt = now + 64 * timers_.T1;
  if (tx->invite) tx->endAt = now + kInviteLifetimeMs;
  bool busy = sender_(text, host, port) == TSendResult::Busy;  // may raise: no transaction then
  if (busy) {
    tx->owed = text, tx->owedHost = host, tx->owedPort = port;
    tx->owedAt = now + kBusyRetryMs;
  }
  clients_[ClientKey(via.Branch, method)] = tx;
}

void TTransactionLayer::ClientResponse(TClient& tx, const TSipMessage& m, bool& deliver) {
  using S = TClient::TState;
  const int status = ToIntDef(m.StatusCode, 0);
  const int64_t now = clock_();
  deliver = false;
  if (status < 100) return;
  if (!IsFinal(status)) {
    if (tx.state != S::Calling && tx.state != S::Proceeding) return;  // late: the final one came
    tx.state = S::Proceeding;
    if (tx.invite) {
      tx.retransmitAt = 0;  // RFC 3261 17.1.1.2: a provisional answer stops A and B
      tx.timeoutAt = 0;
    } else {
      tx.interval = timers_.T2;  // 17.1.2.2: repeats go on every T2
    }
    deliver = true;
    return;
  }
  const bool repeat = tx.state == S::Completed || tx.state == S::Accepted;
  tx.retransmitAt = 0;
  tx.timeoutAt = 0;
  if (!tx.invite) {
    if (repeat) return;
    tx.state = S::Completed;
    tx.endAt = now + timers_.T4;  // timer K
    deliver = true;
    return;
  }
  if (status < 300) {
    // RFC 6026: the first 2xx goes to the TU, which acknowledges it; a repeat
    // of it is acknowledged again here. Another 2xx (another fork, or one
    // before the TU's ACK) still goes to the TU.
    if (tx.state == S::Accepted && !tx.ack.empty() && m.ToTag == tx.ackToTag) {
      bool busy;
      Send(tx.ack, tx.ackHost, tx.ackPort, busy, tx.owedAt);
      if (busy) tx.owed = tx.ack, tx.owedHost = tx.ackHost, tx.owedPort = tx.ackPort;
      return;
    }
    if (tx.state == S::Completed) return;
    if (tx.state != S::Accepted) {
      tx.ack.clear();
      tx.ackToTag = m.ToTag;
      tx.endAt = now + 64 * timers_.T1;
    }
    tx.state = S::Accepted;
    deliver = true;
    return;
  }
  if (tx.state == S::Accepted) return;
  if (tx.state != S::Completed) {
    // 17.1.1.3: the ACK of a non-2xx answer is the transaction's own.
    tx.state = S::Completed;
    tx.endAt = now + std::max(kTimerDMs, 64 * timers_.T1);
    tx.ack = ackBuilder_ ? ackBuilder_(m) : std::string();
    tx.ackHost = tx.host;
    tx.ackPort = tx.port;
    deliver = true;
  }
  if (tx.ack.empty()) return;
  bool busy;
  Send(tx.ack, tx.ackHost, tx.ackPort, busy, tx.owedAt);
  if (busy) tx.owed = tx.ack, tx.owedHost = tx.ackHost, tx.owedPort = tx.ackPort;
}

void TTransactionLayer::ClientTimers(TClient& tx, int64_t now, std::vector<TTransactionFailure>& failures) {
  if (tx.retransmitAt != 0 && now >= tx.retransmitAt) {
    bool busy;
    Send(tx.request, tx.host, tx.port, busy, tx.owedAt);
    if (busy) tx.owed = tx.request, tx.owedHost = tx.host, tx.owedPort = tx.port;
    // A doubles without bound (17.1.1.2); E stops doubling at T2 (17.1.2.2).
    tx.interval = tx.invite ? tx.interval * 2 : std::min(tx.interval * 2, timers_.T2);
    if (tx.state == TClient::TState::Proceeding) tx.interval = timers_.T2;
    tx.retransmitAt = now + tx.interval;
  }
  if (tx.timeoutAt != 0 && now >= tx.timeoutAt) {
    failures.push_back({TTransactionFailure::TKind::NoResponse, tx.method, tx.callId, tx.cseq});
    tx.endAt = now;  // ends below
  }
}

TTransactionLayer::TServerPtr TTransactionLayer::FindServerForAck(const TSipMessage& ack) {
  const int cseq = ToIntDef(ack.CSeqNumber, -1);
  for (auto& [key, tx] : servers_)
    if (tx->invite && tx->state == TServer::TState::Accepted && tx->callId == ack.CallId && tx->cseq == cseq)
      return tx;
  return nullptr;
}

// ---- server side ------------------------------------------------------------

bool TTransactionLayer::Receive(TSipMessage& m, const std::string& sourceHost, int sourcePort) {
  if (m.CSeqMethod.empty()) return true;  // not SIP: the TU looks at it (STUN)
  const int64_t now = clock_();
  if (m.IsResponse()) {
    TTopVia via = ParseTopVia(m.ViaHeaders);
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = clients_.find(ClientKey(via.Branch, m.CSeqMethod));
    if (it == clients_.end()) return true;  // the TU decides about strays
    bool deliver;
    ClientResponse(*it->second, m, deliver);
    return deliver;
  }
  m.ViaHeaders = StampTopVia(m.ViaHeaders, sourceHost, sourcePort);
  TTopVia via = ParseTopVia(m.ViaHeaders);
  const std::string key = ServerKey(via, m, m.CSeqMethod);
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = servers_.find(key);
  if (m.CSeqMethod == "ACK") {
    if (it != servers_.end() && it->second->invite && it->second->state == TServer::TState::Completed) {
      it->second->state = TServer::TState::Confirmed;  // 17.2.1: timer I swallows repeats
      it->second->retransmitAt = 0;
      it->second->timeoutAt = 0;
      it->second->endAt = now + timers_.T4;
      return false;
    }
    if (it != servers_.end() && it->second->state == TServer::TState::Confirmed) return false;
    // The ACK of a 2xx is a transaction of its own (13.3.1.4): it ends the repeats.
    if (TServerPtr accepted = FindServerForAck(m)) accepted->acked = true, accepted->retransmitAt = 0;
    return true;
  }
  // A request inside the dialog (a BYE, a re-INVITE) shows that our 2xx
  // arrived even when its ACK was lost on the way: its repeats can stop.
  const int cseq = ToIntDef(m.CSeqNumber, -1);
  for (auto& [other, accepted] : servers_)
    if (accepted->invite && accepted->state == TServer::TState::Accepted && !accepted->acked &&
        accepted->callId == m.CallId && cseq > accepted->cseq)
      accepted->acked = true, accepted->retransmitAt = 0;
  if (it != servers_.end()) {
    TServer& tx = *it->second;
    // A retransmission: the last answer again, and nothing for the TU.
    if (!tx.last.empty()) {
      bool busy;
      Send(tx.last, tx.host, tx.port, busy, tx.owedAt);
      if (busy) tx.owed = tx.last;
    }
    return false;
  }
  auto tx = std::make_shared<TServer>();
  tx->invite = m.CSeqMethod == "INVITE";
  tx->callId = m.CallId;
  tx->cseq = ToIntDef(m.CSeqNumber, 0);
  ResponseDestination(via, tx->host, tx->port);
  tx->endAt = now + (tx->invite ? kInviteLifetimeMs : 64 * timers_.T1);
  servers_[key] = tx;
  return true;
}

void TTransactionLayer::Forget(const TSipMessage& request) {
  TTopVia via = ParseTopVia(request.ViaHeaders);
  std::lock_guard<std::mutex> guard(mutex_);
  servers_.erase(ServerKey(via, request, request.CSeqMethod));
}

void TTransactionLayer::SendResponse(const std::string& text) {
  TSipMessage m(text);
  TTopVia via = ParseTopVia(text);
  const int status = ToIntDef(m.StatusCode, 0);
  const int64_t now = clock_();
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = servers_.find(ServerKey(via, m, m.CSeqMethod));
  TServerPtr tx = it == servers_.end() ? nullptr : it->second;
  if (!tx && m.CSeqMethod == "INVITE" && status >= 200 && status < 300) {
    // A 2xx is repeated until its ACK even when its request's transaction
    // is gone: the dialog depends on it.
    tx = std::make_shared<TServer>();
    tx->invite = true;
    tx->callId = m.CallId;
    tx->cseq = ToIntDef(m.CSeqNumber, 0);
    ResponseDestination(via, tx->host, tx->port);
    servers_[ServerKey(via, m, "INVITE")] = tx;
  }
  if (!tx) {
    std::string host;
    int port;
    ResponseDestination(via, host, port);
    SendStateless(text, host, port);
    return;
  }
  using S = TServer::TState;
  tx->last = text;
  if (!IsFinal(status)) {
    tx->state = S::Proceeding;
  } else if (!tx->invite) {
    tx->state = S::Completed;
    tx->endAt = now + 64 * timers_.T1;  // timer J
  } else if (status < 300) {
    tx->state = S::Accepted;
    tx->acked = false;
    tx->interval = timers_.T1;
    // A stream delivers the 2xx or breaks: it waits for its ACK unrepeated.
    tx->retransmitAt = via.Reliable ? 0 : now + timers_.T1;
    tx->timeoutAt = now + 64 * timers_.T1;
    tx->endAt = tx->timeoutAt;
  } else {
    tx->state = S::Completed;
    tx->interval = timers_.T1;
    tx->retransmitAt = via.Reliable ? 0 : now + timers_.T1;  // timer G (17.2.1: not on TCP or TLS)
    tx->timeoutAt = now + 64 * timers_.T1;  // timer H
    tx->endAt = tx->timeoutAt;
  }
  bool busy;
  Send(text, tx->host, tx->port, busy, tx->owedAt);  // may raise: the caller hears of it
  if (busy) tx->owed = text;
}

void TTransactionLayer::ServerTimers(TServer& tx, int64_t now, std::vector<TTransactionFailure>& failures) {
  if (tx.retransmitAt != 0 && now >= tx.retransmitAt) {
    bool busy;
    Send(tx.last, tx.host, tx.port, busy, tx.owedAt);
    if (busy) tx.owed = tx.last;
    tx.interval = std::min(tx.interval * 2, timers_.T2);
    tx.retransmitAt = now + tx.interval;
  }
  if (tx.timeoutAt != 0 && now >= tx.timeoutAt) {
    tx.retransmitAt = 0;
    tx.timeoutAt = 0;
    if (tx.state == TServer::TState::Accepted && !tx.acked)
      failures.push_back({TTransactionFailure::TKind::NoAck, "INVITE", tx.callId, tx.cseq});
  }
}

// ---- timers -----------------------------------------------------------------

void TTransactionLayer::RunTimers() {
  std::vector<TTransactionFailure> failures;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    const int64_t now = clock_();
    auto payOwed = [&](std::string& owed, const std::string& host, int port, int64_t& owedAt) {
      if (owed.empty() || now < owedAt) return;
      bool busy;
      try {
        Send(owed, host, port, busy, owedAt);
      } catch (...) {
        busy = false;  // an address that cannot be used: nothing to owe
      }
      if (!busy) owed.clear();
    };
    for (auto it = clients_.begin(); it != clients_.end();) {
      TClient& tx = *it->second;
      try {
        payOwed(tx.owed, tx.owedHost, tx.owedPort, tx.owedAt);
        ClientTimers(tx, now, failures);
      } catch (...) {
        // 17.1.4: a transport error ends the transaction as a time-out would.
        failures.push_back({TTransactionFailure::TKind::NoResponse, tx.method, tx.callId, tx.cseq});
        tx.endAt = now;
      }
      if (tx.endAt != 0 && now >= tx.endAt)
        it = clients_.erase(it);
      else
        ++it;
    }
    for (auto it = servers_.begin(); it != servers_.end();) {
      TServer& tx = *it->second;
      try {
        payOwed(tx.owed, tx.host, tx.port, tx.owedAt);
        ServerTimers(tx, now, failures);
      } catch (...) {
        tx.endAt = now;
      }
      if (tx.endAt != 0 && now >= tx.endAt)
        it = servers_.erase(it);
      else
        ++it;
    }
    for (auto it = pending_.begin(); it != pending_.end();) {
      bool busy = false;
      if (now >= it->retryAt) {
        try {
          Send(it->text, it->host, it->port, busy, it->retryAt);
        } catch (...) {
        }
        if (!busy || now >= it->giveUpAt) {
          it = pending_.erase(it);
          continue;
        }
      }
      ++it;
    }
  }
  Notify(failures);
}

void TTransactionLayer::Notify(const std::vector<TTransactionFailure>& failures) {
  if (failures.empty()) return;
  TFailureHandler handler;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    handler = onFailure_;
  }
  if (!handler) return;
  for (const TTransactionFailure& failure : failures) {
    try {
      handler(failure);
    } catch (...) {
      // One failed follow-up (a BYE that cannot be sent) must not keep the
      // others from being told.
    }
  }
}

}  // namespace qv
