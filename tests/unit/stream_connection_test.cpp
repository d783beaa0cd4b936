// A SIP connection to a server that stops reading: what waits to be sent
// stays within its bound, and the connection closes with a reason that says
// why, whether our own requests pile up or our answers to the server's pings.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sip/streamconn.h"

namespace qv::test {
namespace {

constexpr size_t kCap = 64 * 1024;

// A listening socket on 127.0.0.1 with a small receive buffer (the
// connections it takes inherit it).
struct TListener {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  TListener() {
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    listen(fd, 4);
  }
  ~TListener() { close(fd); }
};

struct TClosedReason {
  std::mutex lock;
  std::condition_variable changed;
  bool closed = false;
  std::string reason;
  bool Wait(int ms) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(ms), [&] { return closed; });
  }
};

std::shared_ptr<TStreamConnection> Connect(int port, TClosedReason& closed) {
  TStreamConnection::TOptions options;
  options.Host = "127.0.0.1";
  options.Port = port;
  options.KeepAliveMs = 0;
  options.MaxQueuedBytes = kCap;
  return std::make_shared<TStreamConnection>(options, nullptr, [&closed](const std::string& reason, bool) {
    std::lock_guard guard(closed.lock);
    closed.closed = true;
    closed.reason = reason;
    closed.changed.notify_all();
  });
}

TEST(StreamConnection, AServerThatStopsReadingIsDroppedOnceTheQueueIsFull) {
  TListener server;  // never accepts, never reads: the kernel's buffers fill, then ours
  TClosedReason closed;
  auto connection = Connect(server.port, closed);
  const std::string request = "OPTIONS sip:127.0.0.1 SIP/2.0\r\nContent-Length: 900\r\n\r\n" + std::string(900, 'x');
  size_t sent = 0, mostWaiting = 0;
  // However long we keep sending, the bytes held stay under the cap; the
  // kernel takes a few megabytes first.
  while (sent < (size_t(256) << 20) && connection->Send(request)) {
    sent += request.size();
    mostWaiting = std::max(mostWaiting, connection->Waiting());
  }
  EXPECT_LT(sent, size_t(256) << 20) << "every Send was taken";
  EXPECT_LE(mostWaiting, kCap);
  ASSERT_TRUE(closed.Wait(3000));
  EXPECT_EQ(closed.reason.rfind("the server stopped reading: ", 0), 0u) << closed.reason;
  EXPECT_NE(closed.reason.find("to 127.0.0.1:" + std::to_string(server.port) + " (at most 65536)"), std::string::npos)
      << closed.reason;
  EXPECT_FALSE(connection->Open());
  EXPECT_FALSE(connection->Send(request));
  EXPECT_EQ(connection->Waiting(), 0u);
}

TEST(StreamConnection, AServerThatPingsWithoutReadingOurPongsIsDropped) {
  TListener server;
  TClosedReason closed;
  auto connection = Connect(server.port, closed);
  std::thread pinger([&] {
    const int fd = accept(server.fd, nullptr, nullptr);
    std::string burst;
    while (burst.size() < 64 * 1024) burst += "\r\n\r\n";
    // Until we give up on it: each ping is owed a pong it never reads.
    for (int i = 0; i < 2000 && !closed.Wait(0); ++i)
      if (send(fd, burst.data(), burst.size(), MSG_NOSIGNAL) < 0) break;
    close(fd);
  });
  ASSERT_TRUE(closed.Wait(20000));
  pinger.join();
  EXPECT_EQ(closed.reason.rfind("the server stopped reading: ", 0), 0u) << closed.reason;
  EXPECT_EQ(connection->Waiting(), 0u);
}

}  // namespace
}  // namespace qv::test
