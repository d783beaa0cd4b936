// IPv6 in the text and socket layers: hosts in brackets where SIP writes
// them (RFC 3261 25.1), IN IP6 in SDP (RFC 4566), host:port splitting, and
// one socket that reaches both IPv4 and IPv6 peers.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "dialogs/siprequests.h"
#include "sip/iputils.h"
#include "sip/sipmessage.h"
#include "sip/via.h"
#include "support/sipfixtures.h"

namespace qv::test {
namespace {

TEST(Ipv6Text, HostPortSplittingAndBrackets) {
  EXPECT_EQ(PortColon("[::1]:5070"), 5u);
  EXPECT_EQ(PortColon("[2001:db8::7]"), std::string::npos);
  EXPECT_EQ(PortColon("2001:db8::7"), std::string::npos);  // no brackets: no port either
  EXPECT_EQ(PortColon("pbx.example.org:5080"), 15u);
  EXPECT_EQ(PortColon("10.0.0.1"), std::string::npos);
  EXPECT_EQ(PortColon(""), std::string::npos);
  EXPECT_EQ(PortColon("[::1"), std::string::npos);
  EXPECT_EQ(UriHost("2001:db8::7"), "[2001:db8::7]");
  EXPECT_EQ(UriHost("[::1]"), "[::1]");
  EXPECT_EQ(UriHost("10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(BareHost("[::1]"), "::1");
  EXPECT_TRUE(IsIpv6Address("[::1]"));
  EXPECT_FALSE(IsIpv6Address("10.0.0.1"));
  EXPECT_TRUE(IsIpAddress("10.0.0.1"));
  // An address resolves to itself, without a lookup; STUN's resolver stays IPv4.
  EXPECT_EQ(ResolveSipHostOrEmpty("[::1]"), "::1");
  EXPECT_EQ(ResolveSipHostOrEmpty("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(ResolveSipHostOrEmpty("no-such-host.invalid"), "");
  EXPECT_EQ(ResolveHostOrEmpty("::1"), "");
}

TEST(Ipv6Text, ParserReadsBracketedHostsAndIp6Sdp) {
  TSipMessage m(
      "INVITE sip:bob@[2001:db8::2]:5062 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP [2001:db8::1]:5070;branch=z9hG4bK1;rport\r\n"
      "From: <sip:alice@[2001:db8::9]>;tag=1\r\n"
      "To: <sip:bob@[2001:db8::9]:5060>\r\n"
      "Call-ID: c1\r\n"
      "CSeq: 1 INVITE\r\n"
      "Contact: <sip:alice@[2001:db8::1]:5070;transport=udp>\r\n"
      "Content-Length: 0\r\n"
      "\r\n"
      "v=0\r\n"
      "o=- 1 1 IN IP6 2001:db8::1\r\n"
      "c=IN IP6 2001:db8::1\r\n"
      "m=audio 4000 RTP/AVP 0\r\n");
  EXPECT_EQ(m.ViaHost, "[2001:db8::1]");
  EXPECT_EQ(m.ViaPort, "5070");
  EXPECT_EQ(m.FromHost, "[2001:db8::9]");
  EXPECT_EQ(m.ToHost, "[2001:db8::9]");
  EXPECT_EQ(m.ContactHost, "[2001:db8::1]");
  EXPECT_EQ(m.ContactPort, "5070");
  EXPECT_EQ(m.SdpAddress, "2001:db8::1");
  EXPECT_EQ(m.SdpAudioPort, "4000");

  TTopVia via = ParseTopVia(m.ViaHeaders);
  EXPECT_EQ(via.Host, "[2001:db8::1]");
  EXPECT_EQ(via.Port, 5070);
  // The source is the sent-by address: only rport gets its value.
  EXPECT_EQ(StampTopVia(m.ViaHeaders, "2001:db8::1", 5070),
            "Via: SIP/2.0/UDP [2001:db8::1]:5070;branch=z9hG4bK1;rport=5070\r\n");
  EXPECT_EQ(StampTopVia(m.ViaHeaders, "2001:db8::5", 5070),
            "Via: SIP/2.0/UDP [2001:db8::1]:5070;branch=z9hG4bK1;rport=5070;received=2001:db8::5\r\n");
}

TEST(Ipv6Text, BuildersWriteBracketsAndIp6) {
  auto engine = std::make_shared<TFakeEngine>();
  auto account = MakeAccount();
  account->SetDomain("[2001:db8::9]");
  account->SetLocalAddress("2001:db8::1");
  auto call = MakeOutgoingCall(engine, account);
  const std::string reg = BuildRegister(*account);
  EXPECT_EQ(reg.substr(0, reg.find("\r\n")), "REGISTER sip:[2001:db8::9] SIP/2.0");
  EXPECT_NE(reg.find("\r\nVia: SIP/2.0/UDP [2001:db8::1]:5075;rport;"), std::string::npos) << reg;
  EXPECT_NE(reg.find("\r\nContact: <sip:1001@[2001:db8::1]:5075>;expires="), std::string::npos) << reg;
  const std::string invite = BuildInvite(*call, "0 8 3");
  EXPECT_NE(invite.find("\r\nContact: <sip:1001@[2001:db8::1]:5075>\r\n"), std::string::npos) << invite;
  EXPECT_NE(invite.find("\r\no=- 4321 1 IN IP6 2001:db8::1\r\n"), std::string::npos) << invite;
  EXPECT_NE(invite.find("\r\nc=IN IP6 2001:db8::1\r\n"), std::string::npos) << invite;
}

// One socket speaks to an IPv4 peer (whose address reads dotted, not as an
// IPv4-mapped IPv6 one) and to an IPv6 peer.
TEST(Ipv6Sockets, OneSocketReachesBothFamilies) {
  int a = CreateUdpSocket(0, TSocketSet::Sip);
  int b = CreateUdpSocket(0, TSocketSet::Rtp);
  char buffer[16];
  for (const char* host : {"127.0.0.1", "::1", "[::1]"}) {
    ASSERT_TRUE(SendDatagram(TSocketSet::Rtp, b, "hi", 2, BoundPort(a), host)) << host;
    int length = 0, port = 0;
    std::string from;
    bool got = false;
    for (int i = 0; i < 500 && !got; ++i) {
      got = ReceiveDatagram(a, buffer, sizeof buffer, length, port, from);
      if (!got) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(got) << host;
    EXPECT_EQ(from, BareHost(host));
    EXPECT_EQ(port, BoundPort(b));
  }
  EXPECT_EQ(LocalAddressTowards("::1"), "::1");
  CloseSocket(a);
  CloseSocket(b);
}

}  // namespace
}  // namespace qv::test
