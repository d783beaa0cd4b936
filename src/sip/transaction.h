// TTransactionLayer: the transactions of RFC 3261 section 17 over UDP, under
// the engine (the transaction user, TU).
//
// Client transactions: every request we send except ACK. INVITE: timer A
// retransmits until a provisional answer, timer B gives up; a non-2xx final
// answer is acknowledged here (17.1.1.3) and its repeats are acknowledged
// again for timer D; a 2xx keeps the transaction "accepted" (RFC 6026) so
// that a repeated 2xx is acknowledged again with the TU's own ACK instead of
// reaching the TU twice. Non-INVITE: timer E retransmits, F gives up, K
// swallows repeated answers.
//
// Server transactions: every request we receive except ACK. A retransmitted
// request is answered with the last response sent and never reaches the TU
// again. INVITE: a non-2xx final answer is repeated by timer G until its ACK
// (H gives up, I swallows late ACKs); a 2xx is repeated from T1 up to T2
// until the ACK of the dialog comes (13.3.1.4, done here for the TU), and the
// TU hears of it when 64*T1 pass without one. Non-INVITE: timer J keeps the
// final answer for repeats.
//
// Where a response goes: the address the request came from as the top Via
// says, with received and rport (18.2.2, RFC 3581), which Receive() writes
// into the request's top Via, so that a response carries its way home.
//
// A send the socket refuses (a full buffer) is tried again a few milliseconds
// later by the transaction that made it.
//
// Time: the injected clock (monotonic milliseconds); nothing here reads
// another. RunTimers() runs what is due; the transport thread calls it at
// least every 50 ms.
//
// Threads: every public method may be called from any thread; one mutex
// guards the table. Sends happen under it (the sender only hands bytes to a
// non-blocking socket and takes no lock of the TU); the TU's failure handler
// is called after the mutex is let go, so it may take its own locks and send.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qv {

class TSipMessage;

// RFC 3261 17.1.1.1 for UDP.
struct TTransactionTimers {
  int64_t T1 = 500;
  int64_t T2 = 4000;
  int64_t T4 = 5000;
};

enum class TSendResult {
  Sent,
  Busy,     // the socket would block: try again soon
  Dropped,  // nowhere to send (no transport, no address): nothing to retry
};

// A transaction that ended without what the TU waited for.
struct TTransactionFailure {
  enum class TKind {
    NoResponse,  // timer B or F: no final answer to our request
    NoAck,       // our 2xx to an INVITE was never acknowledged
  };
  TKind Kind = TKind::NoResponse;
  std::string Method;  // of the request
  std::string CallId;
  int CSeq = 0;
};

class TTransactionLayer {
public:
  using TClock = std::function<int64_t()>;
  using TSender = std::function<TSendResult(const std::string& text, const std::string& host, int port)>;
  // Builds the ACK of a non-2xx final answer to one of our INVITEs.
  using TAckBuilder = std::function<std::string(const TSipMessage& response)>;
  using TFailureHandler = std::function<void(const TTransactionFailure&)>;

  TTransactionLayer(TClock clock, TSender sender, TAckBuilder ackBuilder,
                    TTransactionTimers timers = {});
  ~TTransactionLayer();
  TTransactionLayer(const TTransactionLayer&) = delete;
  TTransactionLayer& operator=(const TTransactionLayer&) = delete;

  void SetFailureHandler(TFailureHandler handler);
  const TTransactionTimers& Timers() const { return timers_; }

  // Sends a request to host:port and, but for ACK, retransmits it until its
  // final answer. An ACK goes once; the INVITE transaction it acknowledges
  // keeps it to send again for a repeated answer. Raises what the sender
  // raises (an address that is not one); a busy socket is retried.
  void SendRequest(const std::string& text, const std::string& host, int port);

  // Sends a response in the server transaction of the request it answers
  // (found by its top Via and CSeq), or, with none, where its top Via says.
  void SendResponse(const std::string& text);

  // A received datagram, parsed. Requests get their top Via stamped with the
  // source. Returns true when the TU must handle the message, false when it
  // was a retransmission dealt with here (or an ACK of a non-2xx answer).
  bool Receive(TSipMessage& message, const std::string& sourceHost, int sourcePort);

  // Drops the server transaction `request` made in Receive: a request refused
  // statelessly (a flood, a scanner) keeps nothing, and its answer, sent
  // after this, goes once.
  void Forget(const TSipMessage& request);

  // Runs every timer that is due.
  void RunTimers();

  // Forgets every transaction (the transport is gone).
  void Clear();

  // How many transactions are alive (for tests and diagnostics).
  int Count() const;

private:
  struct TClient;
  struct TServer;
  struct TPendingSend;
  using TClientPtr = std::shared_ptr<TClient>;
  using TServerPtr = std::shared_ptr<TServer>;

  // All under mutex_.
  void Send(const std::string& text, const std::string& host, int port, bool& busy, int64_t& retryAt);
  void SendStateless(const std::string& text, const std::string& host, int port);
  void ClientResponse(TClient& tx, const TSipMessage& m, bool& deliver);
  void ClientTimers(TClient& tx, int64_t now, std::vector<TTransactionFailure>& failures);
  void ServerTimers(TServer& tx, int64_t now, std::vector<TTransactionFailure>& failures);
  TServerPtr FindServerForAck(const TSipMessage& ack);
  void Notify(const std::vector<TTransactionFailure>& failures);

  const TClock clock_;
  const TSender sender_;
  const TAckBuilder ackBuilder_;
  const TTransactionTimers timers_;

  mutable std::mutex mutex_;
  TFailureHandler onFailure_;
  std::map<std::string, TClientPtr> clients_;  // by branch and method
  std::map<std::string, TServerPtr> servers_;  // by branch, sent-by and method
  std::vector<TPendingSend> pending_;          // stateless sends the socket refused
};

}  // namespace qv
