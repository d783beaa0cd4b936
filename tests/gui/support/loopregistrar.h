// A registrar and relay on 127.0.0.1 for the GUI tests: it answers every
// REGISTER with 200 OK (or, when told to, with a final failure) and relays
// every other datagram between the window's SIP port and the peer's, the way
// a proxy would forward them. Enough for the window's account to register and
// for calls between the window and an in-process peer to flow through "the
// server" in both directions.
//
// Threads: its own receiving thread; the accessors may be called from any
// thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qv::test {

class TLoopRegistrar {
public:
  // `appPort`: the window's SIP port; `peerPort`: where everything else from
  // the window goes (0: nowhere).
  explicit TLoopRegistrar(int appPort = 5075, int peerPort = 0);
  ~TLoopRegistrar();

  int Port() const { return port_; }
  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }
  void SetPeerPort(int port) { peerPort_ = port; }
  // A status line such as "403 Forbidden" answers REGISTERs from now on; ""
  // goes back to "200 OK"; kNoAnswer leaves them unanswered.
  static constexpr const char* kNoAnswer = "-";
  void SetRegisterAnswer(const std::string& status);

  // Requests received (REGISTER and relayed ones), oldest first.
  std::vector<std::string> Received();
  int RegisterCount();      // REGISTER with a non-zero expiry
  int UnregisterCount();    // REGISTER with "Expires: 0"
  // First lines of the requests and responses relayed, oldest first.
  std::vector<std::string> Relayed();
  void Clear();

private:
  void Run();
  void Answer(const std::string& request, const sockaddr_in& from);

  int socket_ = -1;
  int port_ = 0;
  std::atomic<int> appPort_;
  std::atomic<int> peerPort_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::string status_ = "200 OK";
  std::vector<std::string> received_;
  std::vector<std::string> relayed_;
  std::thread thread_;
};

// The value of the first header `name` (case-insensitive), "" when none.
std::string HeaderValue(const std::string& message, const std::string& name);

}  // namespace qv::test
