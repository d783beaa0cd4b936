// Socket helpers and the SIP transport thread, on 127.0.0.1 only.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "sip/iputils.h"
#include "sip/udp.h"

using namespace qv;
using namespace std::chrono_literals;

namespace {

template <class F>
std::string RaisedText(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

}  // namespace

TEST(SocketHelpers, ErrorTextsKeepTheWinSockTable) {
  EXPECT_EQ(SocketErrorText(10048), "Address already in use");
  EXPECT_EQ(SocketErrorText(10061), "Connection refused");
  EXPECT_EQ(SocketErrorText(11004), "No Data");
  EXPECT_EQ(SocketErrorText(42), "Not a WinSock error");
  EXPECT_EQ(SocketErrorText(WinSockError(EADDRINUSE)), "Address already in use");
  EXPECT_EQ(SocketErrorText(WinSockError(EWOULDBLOCK)), "Operation would block");
  EXPECT_EQ(SocketErrorText(WinSockError(EHOSTUNREACH)), "No route to host");
}

TEST(SocketHelpers, SendRefusesWhatIsNotADottedAddress) {
  int s = CreateUdpSocket(0, TSocketSet::Rtp);
  const char data[] = "x";
  EXPECT_FALSE(SendDatagram(TSocketSet::Sip, s, data, 1, 5060, "0.0.0.0"));
  EXPECT_FALSE(SendDatagram(TSocketSet::Sip, s, data, 1, 5060, ""));
  EXPECT_FALSE(SendDatagram(TSocketSet::Sip, kInvalidSocket, data, 1, 5060, "127.0.0.1"));
  EXPECT_EQ(RaisedText([&] { SendDatagram(TSocketSet::Sip, s, data, 1, 5060, "pbx.example.com"); }),
            "IP address is incorrect");
  // The RTP set never sends to port 0; the SIP set tries (and the system refuses).
  EXPECT_FALSE(SendDatagram(TSocketSet::Rtp, s, data, 1, 0, "127.0.0.1"));
  EXPECT_NE(RaisedText([&] { SendDatagram(TSocketSet::Sip, s, data, 1, 0, "127.0.0.1"); }), "");
  CloseSocket(s);
}

TEST(SocketHelpers, PortInUseGivesBindFailed) {
  int held = CreateUdpSocket(0, TSocketSet::Sip);
  int port = BoundPort(held);
  EXPECT_EQ(RaisedText([&] { CreateUdpSocket(port, TSocketSet::Sip); }), "bind failed");
  EXPECT_EQ(RaisedText([&] { TUdpSocket transport(port); }), "bind failed");
  CloseSocket(held);
}

// A burst of SIP (many transactions' repeats due at once) must find room in
// the send queue; RTP keeps its small one.
TEST(SocketHelpers, SipSendQueueIsSizedForBursts) {
  auto sendBuffer = [](TSocketSet set) {
    int s = CreateUdpSocket(0, set);
    int size = 0;
    socklen_t len = sizeof size;
    getsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, &len);
    CloseSocket(s);
    return size;
  };
  EXPECT_GE(sendBuffer(TSocketSet::Sip), 256 * 1024);
  EXPECT_LT(sendBuffer(TSocketSet::Rtp), 64 * 1024);
}

// The transport runs its timer callback at least every 50 ms, with no
// datagram arriving.
TEST(Transport, RunsTheTimerCallbackWhileIdle) {
  TUdpSocket transport(0);
  std::atomic<int> runs{0};
  transport.SetTimer([&] { ++runs; });
  EXPECT_TRUE(WaitFor([&] { return runs.load() >= 3; }, 2s));
}

TEST(SocketHelpers, NameResolution) {
  EXPECT_EQ(ResolveHost("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(ResolveHost("localhost"), "127.0.0.1");
  EXPECT_EQ(ResolveHost("no-such-host.invalid"), "no-such-host.invalid");
  EXPECT_EQ(ResolveHostOrEmpty("no-such-host.invalid"), "");
  EXPECT_EQ(ResolveHostOrEmpty(""), "");
  EXPECT_EQ(LocalAddressTowards("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(LocalAddressTowards("not an address"), "");
  // The machine's own address is never some other loopback alias.
  std::string own = LocalHostAddress();
  EXPECT_TRUE(own == "127.0.0.1" || own.rfind("127.", 0) != 0) << own;
}

TEST(SocketHelpers, ReceiveReportsSenderAndWouldBlock) {
  int a = CreateUdpSocket(0, TSocketSet::Sip);
  int b = CreateUdpSocket(0, TSocketSet::Sip);
  char buffer[64];
  int length = -1, port = 0;
  std::string from;
  EXPECT_FALSE(ReceiveDatagram(b, buffer, sizeof buffer, length, port, from));
  EXPECT_EQ(length, 0);
  ASSERT_TRUE(SendDatagram(TSocketSet::Sip, a, "hello", 5, BoundPort(b), "127.0.0.1"));
  ASSERT_TRUE(WaitFor([&] { return ReceiveDatagram(b, buffer, sizeof buffer, length, port, from); }));
  EXPECT_EQ(std::string(buffer, size_t(length)), "hello");
  EXPECT_EQ(from, "127.0.0.1");
  EXPECT_EQ(port, BoundPort(a));
  CloseSocket(a);
  CloseSocket(b);
}

TEST(Transport, DeliversInOrderAndSurvivesARaisingReceiver) {
  TUdpSocket transport(0);
  std::mutex m;
  std::vector<std::string> got;
  transport.SetReceiver([&](const std::string&, int, int length, const uint8_t* bytes) {
    std::string text(reinterpret_cast<const char*>(bytes), size_t(length));
    {
      std::lock_guard<std::mutex> g(m);
      got.push_back(text);
    }
    if (text == "raise") throw Exception("boom");
  });
  int sender = CreateUdpSocket(0, TSocketSet::Sip);
  for (const char* text : {"one", "raise", "two", "three"})
    SendDatagram(TSocketSet::Sip, sender, text, int(strlen(text)), transport.Port(), "127.0.0.1");
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(m);
    return got.size() == 4;
  }));
  EXPECT_EQ(got, (std::vector<std::string>{"one", "raise", "two", "three"}));
  CloseSocket(sender);
}

TEST(Transport, LongDatagramIsCutTo4096Bytes) {
  TUdpSocket transport(0);
  std::atomic<int> length{0};
  transport.SetReceiver([&](const std::string&, int, int n, const uint8_t*) { length = n; });
  int sender = CreateUdpSocket(0, TSocketSet::Sip);
  std::string big(6000, 'x');
  // 6000 bytes exceed our own 4096-byte send buffer only in accounting terms;
  // loopback accepts the datagram.
  SendDatagram(TSocketSet::Sip, sender, big.data(), int(big.size()), transport.Port(), "127.0.0.1");
  ASSERT_TRUE(WaitFor([&] { return length != 0; }));
  EXPECT_EQ(length, 4096);
  CloseSocket(sender);
}

TEST(Transport, DestructionIsPromptWhenIdle) {
  auto transport = std::make_unique<TUdpSocket>(0);
  std::this_thread::sleep_for(20ms);  // let the thread enter its wait
  auto start = std::chrono::steady_clock::now();
  transport.reset();
  // The wake-up message ends the wait at once; the 100 ms wait is only a bound.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}
