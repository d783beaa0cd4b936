// A SIP server's end of TCP or TLS connections, for tests: it listens on a
// free port of 127.0.0.1, takes connections one after another, and hands
// out the messages read from them whole (framed by Content-Length). A
// double-CRLF ping is answered with a CRLF and counted.
//
//   TStreamPeer server;                       // TCP
//   TStreamPeer server(cert);                 // TLS with this certificate
//   std::string reg = server.Expect("REGISTER ");
//   server.Send(Respond(reg, "200 OK", "t"));
//   server.Drop();                            // the current connection closes
//
// Threads: the peer's own thread accepts and reads; the methods are for the
// test's thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "support/testcerts.h"

namespace qv::test {

class TStreamPeer {
public:
  TStreamPeer();
  explicit TStreamPeer(const TServerCert& cert);
  ~TStreamPeer();
  TStreamPeer(const TStreamPeer&) = delete;
  TStreamPeer& operator=(const TStreamPeer&) = delete;

  int Port() const { return port_; }
  // The next message read (any connection), or none after `timeoutMs`.
  std::optional<std::string> Receive(int timeoutMs = 3000);
  // The next message that starts with `start` (others before it are
  // dropped); raises a test failure text when none comes.
  std::string Expect(const std::string& start, int timeoutMs = 3000);
  // Writes to the current connection; false when there is none.
  bool Send(const std::string& text);
  // Closes the current connection (the next one is accepted afterwards).
  void Drop();
  int Connections() const;  // accepted so far
  int Pings() const;
  // Whether the last TLS handshake failed (the client refused us).
  bool HandshakeFailed() const;

private:
  void Listen();
  void Run();
  struct TImpl;
  TImpl* impl_;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace qv::test
