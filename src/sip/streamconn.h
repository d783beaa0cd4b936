// TStreamConnection: one connection of ours to a SIP server over TCP or TLS
// (RFC 3261 18), the flow an account registers and calls through (RFC 5626
// calls it a flow). Requests we send, responses to them, requests the server
// sends us and our responses all travel on it.
//
// A thread of its own connects (bounded), makes the TLS handshake with the
// server's certificate checked (sip/tlsstream.h), then reads whole messages
// (sip/streamframer.h) and hands each one to the receiver, writes what Send()
// queued, answers a double-CRLF ping with a CRLF and sends its own ping every
// keep-alive interval (RFC 5626 4.4.1). A server that once answered a ping
// and then leaves one unanswered for 10 s has lost the flow: the connection
// closes. When the connection ends, for whatever reason, the closed callback
// runs once, on this thread, with the reason ("" for a plain close by the
// peer) and whether the reason is a certificate or TLS failure.
//
// What waits to be written is bounded (MaxQueuedBytes): a server that stops
// reading while we keep sending (or keeps pinging us without reading the
// pongs) would otherwise make it grow without end. Past the bound the
// connection closes with a reason that says so, and like any lost
// connection it is made again by the next request.
//
// Threads: Send, Open, Close and the destructor from any thread; the
// callbacks run on the connection's thread, one at a time, and may call
// Send on the same connection (it only queues). The destructor may run on
// the connection's own thread (the last owner let go inside a callback):
// the thread is then left to finish by itself.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sip/tlsstream.h"

namespace qv {

class TStreamConnection {
public:
  // (message text, the server's address, its port).
  using TReceiver = std::function<void(const std::string&, const std::string&, int)>;
  using TClosed = std::function<void(const std::string& reason, bool insecure)>;

  struct TOptions {
    std::string Host;  // a dotted IPv4 address
    int Port = 0;
    bool Tls = false;     // false: plain TCP
    std::string CaFile;   // PEM certificates trusted besides the system's ("": none)
    std::string TlsName;  // the name the certificate must carry (the host when empty)
    int ConnectWaitMs = 10000;
    int KeepAliveMs = 25000;  // 0: no pings
    int PongWaitMs = 10000;
    // Bytes that may wait in memory for the socket to take them.
    size_t MaxQueuedBytes = size_t(1) << 20;
  };

  TStreamConnection(TOptions options, TReceiver receiver, TClosed closed);
  ~TStreamConnection();
  TStreamConnection(const TStreamConnection&) = delete;
  TStreamConnection& operator=(const TStreamConnection&) = delete;

  // Queues `text` for the server (sent once the connection stands). False
  // when the connection has closed, or closes now because `text` would take
  // what waits past MaxQueuedBytes.
  bool Send(const std::string& text);
  // Bytes queued and not yet taken by the socket.
  size_t Waiting() const;
  // Not closed yet (connecting counts as open).
  bool Open() const;
  // Ends the connection; the closed callback runs with `reason`.
  void Close(const std::string& reason = "");
  // The protocol and cipher once TLS stands ("" before, and for TCP).
  std::string Description();

private:
  struct TState;
  static void Run(std::shared_ptr<TState> state);

  std::shared_ptr<TState> state_;
  std::thread thread_;
};

using TStreamConnectionPtr = std::shared_ptr<TStreamConnection>;

}  // namespace qv
