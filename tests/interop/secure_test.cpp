// Secure calls through Kamailio with its tls module, with certificates the
// test makes: we register (Digest) over TCP and over TLS; a call over TLS to
// baresip whose srtp module makes SRTP mandatory carries the tone both ways
// and holds and resumes; a peer without SRTP is refused when SRTP is
// mandatory; a certificate for another name is refused; a dropped TLS
// connection is made again and the account registers over it.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "interop_ua.h"
#include "media/codecpcm.h"
#include "platform/audio_virtual.h"
#include "platform/audio_wavfile.h"
#include "support/peer_baresip.h"
#include "support/peer_kamailio.h"
#include "support/testcerts.h"
#include "support/tone_analysis.h"

using namespace qv;
using namespace qv::test;

namespace {

constexpr double kBobTone = 440;
constexpr double kOurTone = 1000;
constexpr int kRate = 8000;

// What went over UDP to or from `port` on this host for `ms` milliseconds,
// read as the audio it would be if it were plain PCMU in RTP: the payloads
// after the RTP header, decoded, one stream per sending port. A raw socket
// sees every UDP datagram the host receives (the test runs as root in a
// namespace of its own, where loopback is everything).
std::map<int, std::vector<int16_t>> CaptureAsPcmu(int port, int ms, int& packets) {
  std::map<int, std::vector<int16_t>> streams;
  packets = 0;
  int s = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
  if (s < 0) return streams;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    uint8_t buffer[2048];
    ssize_t n = recv(s, buffer, sizeof buffer, 0);
    if (n < int(sizeof(iphdr))) continue;
    const size_t ipLength = size_t(buffer[0] & 0x0F) * 4;
    if (size_t(n) < ipLength + sizeof(udphdr) + 12) continue;
    const udphdr* udp = reinterpret_cast<const udphdr*>(buffer + ipLength);
    const int from = ntohs(udp->source), to = ntohs(udp->dest);
    if (from != port && to != port) continue;
    const uint8_t* rtp = buffer + ipLength + sizeof(udphdr);
    size_t length = size_t(n) - ipLength - sizeof(udphdr);
    size_t header = 12 + 4 * size_t(rtp[0] & 0x0F);
    if ((rtp[0] >> 6) != 2 || length <= header + 10) continue;  // not RTP (RTCP is not sent)
    ++packets;
    std::vector<int16_t>& stream = streams[from];
    for (size_t i = header; i < length; ++i) stream.push_back(UlawDecode(rtp[i]));
  }
  close(s);
  return streams;
}

class SecureTest : public ::testing::Test {
protected:
  void SetUp() override {
    VirtualAudio::ResetAll();
    VirtualAudio::SetInputTone(0, kOurTone, 8000);
    ca = MakeTestCa(dir.Path(), "pbx");
  }

  void StartKamailio(const std::vector<std::string>& names, const std::vector<std::string>& addresses) {
    TServerCert cert = MakeServerCert(ca, dir.Path(), "kamailio", names, addresses);
    kamailio = std::make_unique<TKamailio>(dir, std::vector<TSipUser>{{"alice", "alicepw"}, {"bob", "bobpw"}},
                                           false, 0, std::vector<std::string>{},
                                           TKamailioTls{cert.CertFile, cert.KeyFile});
  }

  void StartBob(const std::string& mediaEnc) {
    std::vector<int16_t> tone = MakeTone(kBobTone, 8000, 8000 * 60, 8000);
    std::string wav = dir.File("bob-says.wav");
    WriteFile(wav, MakeWav(8000, 16, SampleBytes(tone)));
    TBaresipOptions options;
    options.User = "bob";
    options.Password = "bobpw";
    options.Registrar = kamailio->Address();
    options.SourceWav = wav;
    options.MediaEnc = mediaEnc;
    bob = std::make_unique<TBaresip>(dir, options);
  }

  ISipAccountPtr Alice(TSipTransport transport, TSrtpMode srtp = TSrtpMode::Off) {
    int port = transport == TSipTransport::Tls ? kamailio->TlsPort() : kamailio->Port();
    ISipAccountPtr a = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
    a->SetTransport(transport);
    a->SetCaFile(ca.CertFile);
    a->SetSrtpMode(srtp);
    return a;
  }

  double WeHear(double seconds) { return FrequencyWeHear(seconds, kRate); }

  double BobHeard() { return FrequencyBaresipHeard(*bob, kRate); }

  // The REGISTER 200s the engine has received so far.
  int RegisterOks() {
    ua.Events().Pump();
    int n = 0;
    for (const std::string& text : ua.Events().Logs())
      if (text.rfind("SIP/2.0 200", 0) == 0 && text.find(" REGISTER\r\n") != std::string::npos) ++n;
    return n;
  }

  TPeerDir dir;
  TTestCa ca;
  std::unique_ptr<TKamailio> kamailio;
  TInteropUa ua;
  std::unique_ptr<TBaresip> bob;
};

TEST_F(SecureTest, RegistersOverTcpAndOverTls) {
  StartKamailio({"localhost"}, {"127.0.0.1"});
  ISipAccountPtr overTcp = Alice(TSipTransport::Tcp);
  ASSERT_TRUE(ua.Register(overTcp)) << kamailio->Process().LogTail();
  ua.Engine().Unregister(overTcp);
  ua.Events().WaitFor(MsgRegistrationEnded, 5000);
  ua.Engine().Accounts().Clear();
  ISipAccountPtr overTls = Alice(TSipTransport::Tls);
  ASSERT_TRUE(ua.Register(overTls)) << kamailio->Process().LogTail();
  EXPECT_NE(kamailio->Process().LogTail().find("REQ REGISTER"), std::string::npos);
}

TEST_F(SecureTest, SrtpCallOverTlsToBaresipCarriesAudioBothWaysAndHolds) {
  StartKamailio({"localhost"}, {"127.0.0.1"});
  StartBob("srtp-mand");
  ISipAccountPtr account = Alice(TSipTransport::Tls, TSrtpMode::Mandatory);
  ASSERT_TRUE(ua.Register(account)) << kamailio->Process().LogTail();
  ISipCallPtr call = ua.Engine().Invite(account, "bob", -1, -1);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call, 10000)) << kamailio->Process().LogTail()
                                                               << bob->Process().LogTail();
  ASSERT_TRUE(bob->WaitEvent("CALL_ESTABLISHED"));
  EXPECT_TRUE(call->GetSrtp().Active());
  EXPECT_NEAR(WeHear(2), kBobTone, 2);

  // On the wire the audio is not PCMU: read as if it were, neither tone is
  // in it (in the clear each would come out near its amplitude of 8000).
  int packets = 0;
  std::map<int, std::vector<int16_t>> wire = CaptureAsPcmu(call->GetLocalRtpPort(), 1200, packets);
  EXPECT_GE(packets, 60) << "both directions, 20 ms packets";
  EXPECT_EQ(wire.size(), 2u);
  for (const auto& [from, samples] : wire) {
    ASSERT_GE(samples.size(), size_t(kRate / 2));
    for (double tone : {kBobTone, kOurTone})
      EXPECT_LT(ToneAmplitude(samples.data(), samples.size(), tone, kRate), 800)
          << "the " << tone << " Hz tone readable in the packets from port " << from;
  }

  ua.Engine().Hold(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call)) << bob->Process().LogTail();
  EXPECT_EQ(call->GetState(), csHoldSent);
  ua.Engine().Unhold(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call)) << bob->Process().LogTail();
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_TRUE(call->GetSrtp().Active());
  VirtualAudio::ClearOutput(0);
  EXPECT_NEAR(WeHear(1.5), kBobTone, 2);

  ua.Engine().HangUp(call);
  EXPECT_TRUE(bob->WaitEvent("CALL_CLOSED"));
  EXPECT_NEAR(BobHeard(), kOurTone, 2) << bob->Process().LogTail();
}

// bob calls us: Kamailio reaches us through our TLS connection; bob holds
// and resumes, and the audio crosses encrypted both ways; bob hangs up.
TEST_F(SecureTest, SrtpCallFromBaresipReachesUsOverOurTlsConnection) {
  StartKamailio({"localhost"}, {"127.0.0.1"});
  StartBob("srtp-mand");
  ISipAccountPtr account = Alice(TSipTransport::Tls, TSrtpMode::Mandatory);
  ASSERT_TRUE(ua.Register(account)) << kamailio->Process().LogTail();
  ASSERT_TRUE(bob->Command("dial", "sip:alice@" + kamailio->Address()));
  ISipCallPtr call = ua.WaitIncoming(10000);
  ASSERT_TRUE(call) << kamailio->Process().LogTail();
  ua.Engine().Answer(call);
  ASSERT_TRUE(bob->WaitEvent("CALL_ESTABLISHED")) << bob->Process().LogTail();
  EXPECT_TRUE(call->GetSrtp().Active());
  EXPECT_NEAR(WeHear(2), kBobTone, 2);

  ASSERT_TRUE(bob->Command("hold"));
  ASSERT_TRUE(bob->Command("resume"));
  EXPECT_FALSE(bob->WaitEvent("CALL_CLOSED", 1000)) << bob->Process().LogTail();
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_TRUE(call->GetSrtp().Active());

  ASSERT_TRUE(bob->Command("hangup"));
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << kamailio->Process().LogTail();
  EXPECT_NEAR(BobHeard(), kOurTone, 2) << bob->Process().LogTail();
}

TEST_F(SecureTest, APeerWithoutSrtpIsRefusedWhenSrtpIsMandatory) {
  StartKamailio({"localhost"}, {"127.0.0.1"});
  StartBob("");
  ISipAccountPtr account = Alice(TSipTransport::Tls, TSrtpMode::Mandatory);
  ASSERT_TRUE(ua.Register(account)) << kamailio->Process().LogTail();
  ISipCallPtr call = ua.Engine().Invite(account, "bob", -1, -1);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call, 10000)) << bob->Process().LogTail();
  // The end is posted as the state changes; the status follows it at once.
  for (int i = 0; i < 20 && call->GetEndStatus().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(call->GetEndStatus(), "488");
}

TEST_F(SecureTest, ACertificateForAnotherNameIsRefused) {
  StartKamailio({"pbx.other.test"}, {});
  ISipAccountPtr account = Alice(TSipTransport::Tls);
  EXPECT_FALSE(ua.Register(account));
  TRegistrationEndReason why = account->GetEndReason();
  EXPECT_EQ(why.Kind, TRegistrationEnd::Insecure);
  EXPECT_NE(why.Detail.find("not made out to 127.0.0.1"), std::string::npos) << why.Detail;
  EXPECT_EQ(kamailio->Process().LogTail().find("REQ REGISTER"), std::string::npos);
}

TEST_F(SecureTest, ADroppedTlsConnectionIsMadeAgainAndTheAccountRegistersWithin30s) {
  StartKamailio({"localhost"}, {"127.0.0.1"});
  ISipAccountPtr account = Alice(TSipTransport::Tls);
  ASSERT_TRUE(ua.Register(account)) << kamailio->Process().LogTail();
  ua.Events().Pump(300);  // the log of the 200 comes after the event
  const int before = RegisterOks();
  ASSERT_GT(before, 0);
  // The server goes away and comes back on the same ports: the connection
  // is gone and the binding with it.
  const int port = kamailio->Port();
  const int tlsPort = kamailio->TlsPort();
  kamailio.reset();
  TServerCert cert = MakeServerCert(ca, dir.Path(), "kamailio2", {"localhost"}, {"127.0.0.1"});
  kamailio = std::make_unique<TKamailio>(dir, std::vector<TSipUser>{{"alice", "alicepw"}}, false, port,
                                         std::vector<std::string>{}, TKamailioTls{cert.CertFile, cert.KeyFile, tlsPort});
  auto start = std::chrono::steady_clock::now();
  while (RegisterOks() == before && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
    ua.Engine().Tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::string connections;  // what the engine logged of its connections
  for (const std::string& text : ua.Events().Logs())
    if (text.rfind("Connect", 0) == 0 || text.find(" closed") != std::string::npos) connections += text + "\n";
  EXPECT_GT(RegisterOks(), before) << connections << kamailio->Process().LogTail();
  EXPECT_EQ(account->State(), TAccountState::Registered) << account->GetEndReason().Detail;
}

}  // namespace
