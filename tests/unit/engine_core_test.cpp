// Engine state, activation and the path of a datagram to a posted log event.
#include <gtest/gtest.h>

#include <iostream>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "sip/iputils.h"
#include "engine/sipengine.h"

using namespace qv;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<TSipEngine> NewEngine(int port, TMessageQueuePtr window) {
  return std::dynamic_pointer_cast<TSipEngine>(CreateSipEngine(port, std::move(window)));
}

std::string RaisedText(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

// Drains `queue` on this thread until `count` log texts arrived or time runs out.
// Takes up to `count` logs; when nothing came for 200 ms it asks `lost()`
// how many will never come, and stops once the rest is in.
std::vector<std::string> TakeLogs(TMessageQueue& queue, size_t count, const std::function<size_t()>& lost,
                                  std::chrono::seconds limit) {
  std::vector<std::string> texts;
  auto end = std::chrono::steady_clock::now() + limit;
  auto lastArrival = std::chrono::steady_clock::now();
  while (texts.size() < count && std::chrono::steady_clock::now() < end) {
    queue.Wait(50);
    TMessage m;
    while (queue.Get(m)) {
      if (m.Msg != MsgLog) continue;
      auto log = std::dynamic_pointer_cast<ILogMessage>(m.Obj);
      if (log) texts.push_back(log->GetText());
      lastArrival = std::chrono::steady_clock::now();
    }
    if (std::chrono::steady_clock::now() - lastArrival > std::chrono::milliseconds(200) &&
        texts.size() + lost() >= count)
      break;
  }
  return texts;
}

// Datagrams the kernel dropped on the UDP socket bound to `port` (receive
// queue overflow), from the "drops" column of /proc/net/udp (or udp6).
long KernelDrops(int port) {
  // A socket that carries both families is listed with the IPv6 ones.
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    char wanted[8];
    snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string sl, local, remote, rest;
      fields >> sl >> local >> remote;
      if (local.size() < 5 || local.substr(local.size() - 5) != wanted) continue;
      std::vector<std::string> all;
      while (fields >> rest) all.push_back(rest);
      return all.empty() ? 0 : std::stol(all.back());
    }
  }
  return -1;
}

}  // namespace

TEST(EngineCore, DefaultsAndCodecList) {
  auto engine = NewEngine(5075, nullptr);
  EXPECT_FALSE(engine->GetActive());
  EXPECT_EQ(engine->GetLocalPort(), 5075);
  EXPECT_EQ(engine->GetSilenceThreshold(), kDefaultSilenceThreshold);  // 1: about -38 dBFS
  EXPECT_EQ(engine->GetSilenceTimeout(), 5000);
  EXPECT_EQ(engine->GetRtpPortMin(), 22000);
  EXPECT_EQ(engine->GetRtpPortMax(), 24000);
  EXPECT_EQ(engine->NextCSeq(), 1);
  EXPECT_EQ(engine->NextCSeq(), 2);
  EXPECT_EQ(engine->CodecListText().substr(0, 5), "0 8 3");
  engine->SetCodecs({8, 0});
  EXPECT_EQ(engine->CodecListText(), "8 0");
  EXPECT_EQ(engine->CodecCount(), 2);
  EXPECT_EQ(engine->CodecAt(1), 0);
}

TEST(EngineCore, RtpPortsStepByTwoAndWrap) {
  auto engine = NewEngine(0, nullptr);
  engine->SetRtpPortMin(30000);
  engine->SetRtpPortMax(30006);
  EXPECT_EQ(engine->NextRtpPort(), 30002);
  EXPECT_EQ(engine->NextRtpPort(), 30004);
  EXPECT_EQ(engine->NextRtpPort(), 30006);  // reaches the maximum...
  EXPECT_EQ(engine->NextRtpPort(), 30002);  // ...and starts again
  // Raising the minimum above the counter moves the counter up to it.
  engine->SetRtpPortMin(40000);
  engine->SetRtpPortMax(40010);
  EXPECT_EQ(engine->NextRtpPort(), 40002);
  // A maximum below the counter sends it back to the minimum.
  engine->SetRtpPortMax(40001);
  engine->SetRtpPortMax(40010);
  EXPECT_EQ(engine->NextRtpPort(), 40002);
}

TEST(EngineCore, Activation) {
  auto engine = NewEngine(0, nullptr);
  EXPECT_NO_THROW(engine->SetActive(false));  // inactive: nothing to do
  engine->SetActive(true);
  EXPECT_TRUE(engine->GetActive());
  EXPECT_GT(engine->GetBoundPort(), 0);
  EXPECT_EQ(RaisedText([&] { engine->SetActive(true); }), "Already active");
  engine->SetActive(false);
  EXPECT_FALSE(engine->GetActive());
  EXPECT_EQ(engine->GetBoundPort(), 0);
  EXPECT_FALSE(engine->SendText("x", 5060, "127.0.0.1"));  // no transport, nothing sent
}

TEST(EngineCore, PortHeldByAnotherSocketGivesBindFailed) {
  int held = CreateUdpSocket(0, TSocketSet::Sip);
  auto engine = NewEngine(BoundPort(held), nullptr);
  EXPECT_EQ(RaisedText([&] { engine->SetActive(true); }), "bind failed");
  // Marked active without a transport, as the component expects.
  EXPECT_TRUE(engine->GetActive());
  engine->SetActive(false);
  CloseSocket(held);
}

TEST(EngineCore, WithoutWindowNothingIsPosted) {
  auto window = std::make_shared<TMessageQueue>();
  auto silent = NewEngine(0, nullptr);
  auto loud = NewEngine(0, window);
  silent->Log("not posted");
  loud->Log("posted");
  ASSERT_EQ(window->Size(), 1u);
  TMessage m;
  ASSERT_TRUE(window->Get(m));
  EXPECT_EQ(m.Msg, uint32_t(MsgLog));
  EXPECT_EQ(std::dynamic_pointer_cast<ILogMessage>(m.Obj)->GetText(), "posted");
}

TEST(EngineCore, DatagramsBecomeLogEventsInOrder) {
  auto windowB = std::make_shared<TMessageQueue>();
  auto a = NewEngine(0, nullptr);
  auto b = NewEngine(0, windowB);
  a->SetActive(true);
  b->SetActive(true);
  const int port = b->GetBoundPort();
  // Realistic SIP requests, numbered, sent back to back.
  const int count = 10000;
  auto request = [](int i) {
    return "OPTIONS sip:bob@127.0.0.1 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:5070;rport;branch=z9hG4bK" + std::to_string(i) + "\r\n"
           "From: <sip:alice@127.0.0.1>;tag=1\r\nTo: <sip:bob@127.0.0.1>\r\n"
           "Call-ID: n" + std::to_string(i) + "\r\nCSeq: " + std::to_string(i) + " OPTIONS\r\n"
           "Content-Length: 0\r\n\r\n";
  };
  int sent = 0;
  long dropsBefore = KernelDrops(port);
  for (int i = 0; i < count; ++i) sent += a->SendText(request(i), port, "127.0.0.1") ? 1 : 0;
  EXPECT_EQ(sent, count);
  // What the kernel dropped never comes: stop waiting once the rest is in.
  auto lost = [&] { return size_t(KernelDrops(port) - dropsBefore) + windowB->Dropped(MsgLog); };
  std::vector<std::string> logs = TakeLogs(*windowB, size_t(count), lost, 10s);
  long dropped = KernelDrops(port) - dropsBefore;
  long unread = long(windowB->Dropped(MsgLog));
  // A sender that outruns the receiving thread overflows the socket's receive
  // queue, and a consumer that reads nothing meanwhile finds only the newest
  // log lines waiting (the rest dropped and counted): what remains comes out
  // once and in order.
  RecordProperty("KernelDrops", std::to_string(dropped));
  std::cout << "received " << logs.size() << " of " << count << ", kernel dropped " << dropped
            << ", queue dropped " << unread << "\n";
  ASSERT_GE(dropped, 0);
  EXPECT_EQ(long(logs.size()) + dropped + unread, count);
  int previous = -1;
  for (const std::string& text : logs) {
    size_t p = text.find("Call-ID: n");
    ASSERT_NE(p, std::string::npos);
    int n = std::stoi(text.substr(p + 10));
    ASSERT_GT(n, previous) << "out of order";
    ASSERT_EQ(text, request(n));
    previous = n;
  }
}

TEST(EngineCore, NotificationsPostTheirObject) {
  auto window = std::make_shared<TMessageQueue>();
  auto engine = NewEngine(0, window);
  engine->NotifyCallState(nullptr, csConnected);  // only the end of a call is an event
  EXPECT_EQ(window->Size(), 0u);
  engine->NotifyCallState(nullptr, csIdle);
  engine->NotifyDtmf(nullptr, "");  // empty text: nothing
  engine->NotifyDtmf(nullptr, "5x");
  engine->NotifySilence(nullptr);
  engine->NotifyWavStopped(nullptr);
  std::vector<std::pair<uint32_t, uintptr_t>> got;
  TMessage m;
  while (window->Get(m)) got.emplace_back(m.Msg, m.WParam);
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uintptr_t>>{
                     {MsgCallEnded, 0}, {MsgDtmf, '5'}, {MsgDtmf, 's'}, {MsgWavStopped, 0}}));
}
