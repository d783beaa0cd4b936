// The far end of an engine test: a UDP socket on 127.0.0.1 that receives what
// the engine sends and answers with hand-written messages, and the consumer
// side that drains the engine's event queue on the test thread.
//
// Threads: everything here runs on the test thread. The engine's transport
// thread only ever talks to these objects through the loopback socket and the
// message queue.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/messagequeue.h"
#include "sip/sipints.h"

namespace qv::test {

// A datagram socket bound to 127.0.0.1 on a port the system chooses.
class TUdpPeer {
public:
  TUdpPeer();
  ~TUdpPeer();
  TUdpPeer(const TUdpPeer&) = delete;
  TUdpPeer& operator=(const TUdpPeer&) = delete;

  int Port() const { return port_; }
  // Sends `bytes` to 127.0.0.1:`port`.
  void Send(const std::string& bytes, int port);
  // The next datagram, or nothing after `timeoutMs`.
  std::optional<std::string> Receive(int timeoutMs = 2000);
  // The next datagram that starts with `start` (a method and a blank, or
  // "SIP/2.0 200"); a datagram that starts otherwise, or none at all, fails
  // the running test and gives "".
  std::string Expect(const std::string& start, int timeoutMs = 2000);
  // True when nothing arrives for `ms`; what does arrive fails the test.
  bool Quiet(int ms = 300);
  // Puts a datagram back: the next Receive returns it first.
  void PutBack(std::string datagram) { backlog_.push_back(std::move(datagram)); }

private:
  std::deque<std::string> backlog_;
  int socket_ = -1;
  int port_ = 0;
};

// The value of the first header `name` (case-insensitive, without the name
// and colon, trimmed) in a message text; "" when there is none.
std::string Header(const std::string& message, const std::string& name);
// Every value of header `name`, in order.
std::vector<std::string> Headers(const std::string& message, const std::string& name);
std::string FirstLine(const std::string& message);
std::string Body(const std::string& message);
// The number in the CSeq line.
int CSeqNumber(const std::string& message);

// A response to `request` as a simple UAS writes it: its Via lines, From,
// To (with `toTag` when not empty and the To has no tag yet), Call-ID and
// CSeq, then `extraHeaders` (each ending in CRLF) and the body with its length.
std::string Respond(const std::string& request, const std::string& status,
                    const std::string& toTag = "", const std::string& extraHeaders = "",
                    const std::string& body = "");

// An SDP offer or answer from 127.0.0.1 with the given audio port and
// payload types (telephone-event 101 is added).
std::string Sdp(int audioPort, const std::string& payloadTypes = "0 8",
                const std::string& direction = "sendrecv", const std::string& address = "127.0.0.1");

// The events an engine posts to its window, taken on the test thread.
class TEngineEvents {
public:
  struct TEvent {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    IInterfacePtr Obj;
  };

  explicit TEngineEvents(TMessageQueuePtr queue) : queue_(std::move(queue)) {}

  // Waits for the next event `msg` (log events are kept apart), for `object`
  // only when one is given; other events seen meanwhile are kept. Nothing
  // after `timeoutMs`.
  std::optional<TEvent> WaitFor(uint32_t msg, int timeoutMs = 2000, const IInterfacePtr& object = nullptr);
  // Takes what is queued now (after waiting `settleMs` for stragglers).
  void Pump(int settleMs = 0);
  // Events of kind `msg` taken so far and not yet returned by WaitFor.
  int Count(uint32_t msg) const;
  const std::vector<TEvent>& Pending() const { return pending_; }
  const std::vector<std::string>& Logs() const { return logs_; }
  void Clear() { pending_.clear(); }

private:
  void Take(TMessage& m);

  TMessageQueuePtr queue_;
  std::vector<TEvent> pending_;
  std::vector<std::string> logs_;
};

}  // namespace qv::test
