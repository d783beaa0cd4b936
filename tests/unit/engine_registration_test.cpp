// A registration over time: the granted expiry, the refresh at half of it,
// the retries of a refresh that fails while the account stays registered,
// 423, the NAT keep-alive, finding the server by DNS SRV, the reason a
// registration ended, and the goodbyes of going inactive. The engine's
// clock moves only when the test moves it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "sip/dnssrv.h"
#include "support/engine_fixture.h"
#include "support/streampeer.h"

using namespace qv;
using namespace qv::test;

namespace {

class RegistrationTest : public EngineTest {
protected:
  // The keep-alive has a test of its own; elsewhere it would be in the way.
  void SetUp() override {
    EngineTest::SetUp();
    engine->SetKeepAlive(false);
  }

  std::string OurContact() { return "<sip:alice@127.0.0.1:" + std::to_string(EnginePort()) + ">"; }
  // The Contact line of a registrar's 200 granting our binding `expires` s.
  std::string OurBinding(int expires) { return "Contact: " + OurContact() + ";expires=" + std::to_string(expires) + "\r\n"; }

  // Registers, the registrar answering with `headers`; returns the REGISTER.
  std::string Registered(const std::string& headers) {
    engine->Register(account);
    std::string reg = peer.Expect("REGISTER ");
    ToEngine(Respond(reg, "200 OK", "reg", headers));
    EXPECT_TRUE(events->WaitFor(MsgRegistered));
    return reg;
  }

  // Moves the clock a second at a time up to `ms` from now, running Tick
  // each second as the consumer would; the first REGISTER sent meanwhile.
  std::optional<std::string> TickFor(int64_t ms) {
    for (int64_t done = 0; done < ms; done += 1000) {
      AdvanceClock(std::min<int64_t>(1000, ms - done));
      engine->Tick();
      // What Tick and the timers sent went out on this thread: it is here.
      if (std::optional<std::string> got = peer.Receive(2)) return got;
    }
    return std::nullopt;
  }
};

// RFC 3261 10.2.4: our Contact's expires in the 200 is what counts (the
// other phones' bindings listed with it do not); the refresh comes at half of
// it and changes nothing the user sees.
TEST_F(RegistrationTest, RefreshAtHalfTheGrantedTime) {
  Registered("Contact: <sip:alice@10.0.0.7:5060>;expires=3600, " + OurContact() + ";expires=20\r\n"
             "Expires: 3600\r\n");
  EXPECT_FALSE(TickFor(9000));
  std::optional<std::string> refresh = TickFor(1000);
  ASSERT_TRUE(refresh);
  EXPECT_EQ(FirstLine(*refresh), "REGISTER sip:127.0.0.1 SIP/2.0");
  EXPECT_EQ(account->GetState(), asRegistered);
  ToEngine(Respond(*refresh, "401 Unauthorized", "r", kWwwAuthenticate));
  std::string withCredentials = peer.Expect("REGISTER ");
  EXPECT_EQ(account->GetState(), asRegistered);
  ToEngine(Respond(withCredentials, "200 OK", "reg", OurBinding(20)));
  ASSERT_TRUE(Sync());
  events->Pump(50);
  EXPECT_EQ(events->Count(MsgRegistered), 0);
  EXPECT_EQ(events->Count(MsgRegistrationEnded), 0);
  EXPECT_FALSE(TickFor(9000));
  EXPECT_TRUE(TickFor(1000));
}

// Without our Contact the Expires header counts, without it what we asked;
// the refresh comes at most every 600 s and never within 5 s.
TEST_F(RegistrationTest, GrantedExpiryFallsBackAndIsBounded) {
  Registered("Expires: 60\r\n");
  EXPECT_FALSE(TickFor(29000));
  std::optional<std::string> refresh = TickFor(1000);
  ASSERT_TRUE(refresh);
  ToEngine(Respond(*refresh, "200 OK", "reg"));  // nothing: the 3600 we asked
  ASSERT_TRUE(Sync());
  EXPECT_FALSE(TickFor(599000));
  refresh = TickFor(1000);
  ASSERT_TRUE(refresh);
  ToEngine(Respond(*refresh, "200 OK", "reg", OurBinding(6)));
  ASSERT_TRUE(Sync());
  EXPECT_FALSE(TickFor(4000));
  EXPECT_TRUE(TickFor(1000));
}

// RFC 3261 10.3: 423 names the shortest expiry the registrar takes.
TEST_F(RegistrationTest, IntervalTooBriefIsAskedAgainLonger) {
  engine->Register(account);
  std::string first = peer.Expect("REGISTER ");
  ToEngine(Respond(first, "423 Interval Too Brief", "r", "Min-Expires: 7200\r\n"));
  std::string second = peer.Expect("REGISTER ");
  EXPECT_EQ(Header(second, "Expires"), "7200");
  EXPECT_EQ(Header(second, "Contact"), OurContact() + ";expires=7200;q=0.90");
  EXPECT_GT(CSeqNumber(second), CSeqNumber(first));
  ToEngine(Respond(second, "200 OK", "reg"));
  ASSERT_TRUE(events->WaitFor(MsgRegistered));
}

// A refresh refused is tried again after 30 s, then after twice as long,
// but never later than 10 s before the binding ends; the account stays
// registered until it ends, and the user is told why.
TEST_F(RegistrationTest, RefusedRefreshIsRetriedUntilTheBindingEnds) {
  Registered(OurBinding(120));
  std::vector<int64_t> sentAt;
  const int64_t start = ClockNow();
  for (int i = 0; i < 10 && !events->WaitFor(MsgRegistrationEnded, 0); ++i) {
    std::optional<std::string> reg = TickFor(130000 - (ClockNow() - start));
    if (!reg) break;
    sentAt.push_back((ClockNow() - start) / 1000);
    EXPECT_EQ(account->GetState(), asRegistered);
    ToEngine(Respond(*reg, "503 Service Unavailable", "r"));
    ASSERT_TRUE(Sync());
  }
  EXPECT_EQ(sentAt, (std::vector<int64_t>{60, 90, 110, 115}));
  EXPECT_EQ(account->GetState(), asIdle);
  EXPECT_EQ(account->GetEndReason().Kind, TRegistrationEnd::Refused);
  EXPECT_EQ(account->GetEndReason().Status, 503);
}

// A refresh nobody answers is retried after its transaction gives up.
TEST_F(RegistrationTest, UnansweredRefreshIsRetried) {
  Registered("");
  ASSERT_TRUE(TickFor(600000));
  // Timer F: 32 s of repeats; the retry 30 s after that.
  int repeats = 0;
  for (int i = 0; i < 62; ++i) {
    AdvanceClock(1000);
    engine->Tick();
    while (std::optional<std::string> got = peer.Receive(5)) {
      ++repeats;
      if (i > 60) {
        ToEngine(Respond(*got, "200 OK", "reg"));
        ASSERT_TRUE(Sync());
      }
    }
  }
  EXPECT_GE(repeats, 10);
  EXPECT_EQ(account->GetState(), asRegistered);
  events->Pump(50);
  EXPECT_EQ(events->Count(MsgRegistrationEnded), 0);
}

// While registered, CR LF CR LF goes to the registrar every 25 s, unless
// switched off.
TEST_F(RegistrationTest, NatKeepAlive) {
  engine->SetKeepAlive(true);
  Registered("");
  EXPECT_FALSE(TickFor(24000));
  std::optional<std::string> ping = TickFor(1000);
  ASSERT_TRUE(ping);
  EXPECT_EQ(*ping, "\r\n\r\n");
  EXPECT_EQ(TickFor(25000), "\r\n\r\n");
  engine->SetKeepAlive(false);
  EXPECT_FALSE(TickFor(60000));
}

// ---- finding the server -------------------------------------------------------

// A DNS server on loopback that knows a few names.
class TFakeDns {
public:
  TFakeDns() {
    socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    timeval tv{0, 100000};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread_ = std::thread([this] { Serve(); });
    SetDnsServerForTests("127.0.0.1", port_);
  }
  ~TFakeDns() {
    SetDnsServerForTests("", 0);
    stop_ = true;
    thread_.join();
    close(socket_);
  }
  // SRV of `name`: (priority, weight, port, target); A of `name`: the address.
  void Srv(const std::string& name, int priority, int weight, int port, const std::string& target) {
    std::string rdata = U16(priority) + U16(weight) + U16(port) + Name(target);
    std::lock_guard<std::mutex> guard(lock_);
    records_[name + "/33"].push_back(rdata);
  }
  void A(const std::string& name, const std::string& address) {
    in_addr a{};
    inet_pton(AF_INET, address.c_str(), &a);
    std::lock_guard<std::mutex> guard(lock_);
    records_[name + "/1"].push_back(std::string(reinterpret_cast<char*>(&a), 4));
  }
  // The answer message a server gives for `name` and `type`.
  std::string Answer(uint16_t id, const std::string& name, int type) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = records_.find(name + "/" + std::to_string(type));
    int count = it == records_.end() ? 0 : int(it->second.size());
    std::string m = U16(id) + U16(count ? 0x8180 : 0x8183) + U16(1) + U16(count) + U16(0) + U16(0);
    m += Name(name) + U16(type) + U16(1);
    for (int i = 0; i < count; ++i)
      m += U16(0xC00C) + U16(type) + U16(1) + U16(0) + U16(60) + U16(int(it->second[i].size())) + it->second[i];
    return m;
  }

private:
  static std::string U16(int v) { return std::string{char((v >> 8) & 0xFF), char(v & 0xFF)}; }
  static std::string Name(const std::string& dotted) {
    std::string out;
    size_t start = 0;
    while (start < dotted.size()) {
      size_t dot = dotted.find('.', start);
      if (dot == std::string::npos) dot = dotted.size();
      out += char(dot - start) + dotted.substr(start, dot - start);
      start = dot + 1;
    }
    return out + '\0';
  }
  void Serve() {
    char buffer[512];
    while (!stop_) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 17) continue;
      std::string name;
      size_t i = 12;
      while (i < size_t(n) && buffer[i] != 0) {
        int l = buffer[i];
        if (!name.empty()) name += '.';
        name.append(buffer + i + 1, size_t(l));
        i += size_t(l) + 1;
      }
      if (i + 3 > size_t(n)) continue;
      int type = (uint8_t(buffer[i + 1]) << 8) | uint8_t(buffer[i + 2]);
      uint16_t id = uint16_t((uint8_t(buffer[0]) << 8) | uint8_t(buffer[1]));
      std::string answer = Answer(id, name, type);
      sendto(socket_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }

  int socket_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex lock_;  // the records, filled by the test while the server answers
  std::map<std::string, std::vector<std::string>> records_;
  std::thread thread_;
};

// RFC 2782: lowest priority first, heavier weight first within one.
TEST(DnsSrv, RecordsInTheOrderToTry) {
  TFakeDns dns;
  dns.Srv("_sip._udp.example.test", 20, 0, 5080, "c.example.test");
  dns.Srv("_sip._udp.example.test", 10, 10, 5070, "b.example.test");
  dns.Srv("_sip._udp.example.test", 10, 60, 5060, "a.example.test");
  std::string answer = dns.Answer(7, "_sip._udp.example.test", 33);
  std::vector<TSrvRecord> records =
      ParseSrvAnswer(reinterpret_cast<const unsigned char*>(answer.data()), int(answer.size()));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].Target, "a.example.test");
  EXPECT_EQ(records[0].Port, 5060);
  EXPECT_EQ(records[1].Target, "b.example.test");
  EXPECT_EQ(records[2].Port, 5080);
  EXPECT_TRUE(ParseSrvAnswer(reinterpret_cast<const unsigned char*>("\x01\x02"), 2).empty());
}

// A domain without a port is found by its SRV record; one with a port, or
// without SRV records, by its address; a name nothing resolves ends the
// registration with that reason.
TEST_F(RegistrationTest, ServerFoundByDnsSrv) {
  TFakeDns dns;
  dns.Srv("_sip._udp.example.test", 10, 0, peer.Port(), "pbx.example.test");
  dns.A("pbx.example.test", "127.0.0.1");
  dns.A("direct.test", "127.0.0.1");
  ISipAccountPtr srv = engine->AddAccount("", "example.test", "carol", "pw", "");
  engine->StartRegistration(srv);
  std::string reg = peer.Expect("REGISTER sip:example.test SIP/2.0");
  EXPECT_EQ(srv->GetServer(), "127.0.0.1");
  EXPECT_EQ(srv->GetServerPort(), peer.Port());

  ISipAccountPtr direct = engine->AddAccount("", "direct.test:" + std::to_string(peer.Port()), "dave", "pw", "");
  engine->StartRegistration(direct);
  peer.Expect("REGISTER sip:direct.test SIP/2.0");

  ISipAccountPtr nowhere = engine->AddAccount("", "nowhere.test", "erin", "pw", "");
  engine->StartRegistration(nowhere);
  ASSERT_TRUE(events->WaitFor(MsgRegistrationEnded, 2000, nowhere));
  EXPECT_EQ(nowhere->GetState(), asIdle);
  EXPECT_EQ(nowhere->GetEndReason().Kind, TRegistrationEnd::UnknownServer);
  EXPECT_TRUE(peer.Quiet(100));
}

// Over TCP the domain's _sip._tcp record names the server, over TLS its
// _sips._tcp record (RFC 3263 4.1); without one, TLS goes to port 5061 of
// the domain's address.
TEST_F(RegistrationTest, StreamTransportsLookUpTheirOwnSrvRecords) {
  TFakeDns dns;
  TStreamPeer server;
  dns.Srv("_sip._udp.example.test", 10, 0, peer.Port(), "pbx.example.test");
  dns.Srv("_sip._tcp.example.test", 10, 0, server.Port(), "pbx.example.test");
  dns.Srv("_sips._tcp.example.test", 10, 0, 5090, "pbx.example.test");
  dns.Srv("_sips._tcp.five.test", 10, 0, 5060, "pbx.example.test");
  dns.A("pbx.example.test", "127.0.0.1");
  dns.A("plain.test", "127.0.0.1");
  ISipAccountPtr tcp = engine->AddAccount("", "example.test", "carol", "pw", "");
  tcp->SetTransport(TSipTransport::Tcp);
  engine->StartRegistration(tcp);
  EXPECT_NE(server.Expect("REGISTER sip:example.test SIP/2.0").find("Via: SIP/2.0/TCP "), std::string::npos);
  EXPECT_TRUE(peer.Quiet(100));

  // Resolved only: nothing listens there.
  auto portOverTls = [&](const std::string& domain) {
    ISipAccountPtr tls = engine->AddAccount("", domain, "dave", "pw", "");
    tls->SetTransport(TSipTransport::Tls);
    engine->PrepareAccount(tls);
    EXPECT_EQ(tls->GetServer(), "127.0.0.1") << domain;
    return tls->GetServerPort();
  };
  EXPECT_EQ(portOverTls("example.test"), 5090);
  EXPECT_EQ(portOverTls("five.test"), 5060);
  EXPECT_EQ(portOverTls("plain.test"), 5061);
}

// Going inactive: BYE for a held call, un-REGISTER answered through its
// challenge before the socket closes, all within about 2 s.
TEST_F(RegistrationTest, GoingInactiveSaysGoodbye) {
  RegisterAccount();
  ISipCallPtr call = ConnectOutgoing();
  engine->Hold(call);
  ToEngine(Respond(peer.Expect("INVITE "), "200 OK", "", "Contact: <sip:bob@127.0.0.1:" +
                                                              std::to_string(peer.Port()) + ">\r\n",
                   Sdp(41000, "0", "recvonly")));
  peer.Expect("ACK ");
  ASSERT_TRUE(Sync());
  ASSERT_EQ(call->GetState(), csHoldSent);
  auto off = std::async(std::launch::async, [&] { engine->SetActive(false); });
  ToEngine(Respond(peer.Expect("BYE "), "200 OK"));
  std::string unregister = peer.Expect("REGISTER ");
  EXPECT_EQ(Header(unregister, "Expires"), "0");
  ToEngine(Respond(unregister, "401 Unauthorized", "u", kWwwAuthenticate));
  std::string again = peer.Expect("REGISTER ");
  EXPECT_NE(Header(again, "Authorization"), "");
  ToEngine(Respond(again, "200 OK", "u"));
  ASSERT_EQ(off.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  ASSERT_TRUE(events->WaitFor(MsgRegistrationEnded));
  EXPECT_EQ(account->GetEndReason().Kind, TRegistrationEnd::Unregistered);
}

}  // namespace
