// Our user agent against sipp scenarios written for it (tests/interop/sipp/).
// Each scenario must pass with sipp's exit code 0; the engine's side of each
// exchange is checked through the events it posts.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "interop_ua.h"
#include "media/codecpcm.h"
#include "media/rtp.h"
#include "support/rtp_helpers.h"
#include "support/peer_sipp.h"

using namespace qv;
using namespace qv::test;

namespace {

class SippTest : public ::testing::Test {
protected:
  // sipp calls us: our account's server is the sipp instance about to start
  // on `port` (the engine sends its responses there).
  std::unique_ptr<TSipp> Caller(const std::string& scenario, int port) {
    TSippOptions options;
    options.Remote = ua.Address();
    options.LocalPort = port;
    options.Extra = {"-s", "alice"};
    return std::make_unique<TSipp>(dir, scenario, options);
  }
  // sipp waits for us to call it; the account points at it.
  std::unique_ptr<TSipp> Callee(const std::string& scenario, int localPort = 0) {
    TSippOptions options;
    options.LocalPort = localPort;
    auto sipp = std::make_unique<TSipp>(dir, scenario, options);
    account = ua.AddAccount(sipp->Address(), "alice", "alicepw");
    return sipp;
  }
  void ExpectPassed(TSipp& sipp) {
    int rc = sipp.Wait(30000);
    EXPECT_EQ(rc, 0) << sipp.Report();
  }

  TPeerDir dir;
  TInteropUa ua;
  ISipAccountPtr account;
};

TEST_F(SippTest, ChallengedInviteThenAnswered) {
  auto sipp = Callee("uas_auth_answer.xml");
  ISipCallPtr call = ua.Engine().Invite(account, "bob", -1, -1);
  ASSERT_TRUE(ua.WaitCallEvent(MsgRingback, call)) << sipp->Report();
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call)) << sipp->Report();
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_EQ(call->GetChallenge().Status, "407");
  ua.Engine().HangUp(call);
  EXPECT_TRUE(ua.WaitCallEvent(MsgCallEnded, call));
  ExpectPassed(*sipp);
}

TEST_F(SippTest, BusyAnswerIsAcknowledgedOnce) {
  auto sipp = Callee("uas_486.xml");
  ISipCallPtr call = ua.Engine().Invite(account, "bob", -1, -1);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  EXPECT_EQ(call->GetEndStatus(), "486");
  ExpectPassed(*sipp);
}

TEST_F(SippTest, TransferByReferChallengedThenNotified) {
  // Requests in the dialog go to the Contact, which names no port (see the scenario).
  auto sipp = Callee("uas_refer.xml", 5060);
  ISipCallPtr call = ua.Engine().Invite(account, "bob", -1, -1);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call)) << sipp->Report();
  ua.Engine().Transfer(call, "carol");
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  ExpectPassed(*sipp);
  EXPECT_EQ(ua.Engine().Calls().Count(), 0);
}

TEST_F(SippTest, CallAnsweredThenByeFromTheCaller) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  auto sipp = Caller("uac_answer_bye.xml", port);
  ISipCallPtr call = ua.WaitIncoming();
  ASSERT_TRUE(call) << sipp->Report();
  ua.Engine().Answer(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  EXPECT_EQ(call->GetEndStatus(), "");
  ExpectPassed(*sipp);
}

TEST_F(SippTest, CancelWhileRinging) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  auto sipp = Caller("uac_cancel.xml", port);
  ISipCallPtr call = ua.WaitIncoming();
  ASSERT_TRUE(call) << sipp->Report();
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  ExpectPassed(*sipp);
  EXPECT_EQ(ua.Engine().Calls().Count(), 0);
}

TEST_F(SippTest, ReInviteFromThePeer) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  auto sipp = Caller("uac_reinvite.xml", port);
  ISipCallPtr call = ua.WaitIncoming();
  ASSERT_TRUE(call) << sipp->Report();
  ua.Engine().Answer(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  ExpectPassed(*sipp);
}

TEST_F(SippTest, OptionsAndMessage) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  ExpectPassed(*Caller("uac_options.xml", port));
  ExpectPassed(*Caller("uac_message.xml", port));
}

// INFO is taken only for a registered account: sipp first plays the
// registrar, then, from the same port, the caller.
TEST_F(SippTest, DtmfByInfo) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  {
    TSippOptions options;
    options.LocalPort = port;
    TSipp registrar(dir, "uas_register.xml", options);
    ASSERT_TRUE(ua.Register(account)) << registrar.Report();
    ExpectPassed(registrar);
  }
  auto sipp = Caller("uac_info.xml", port);
  ISipCallPtr call = ua.WaitIncoming();
  ASSERT_TRUE(call) << sipp->Report();
  ua.Engine().Answer(call);
  auto dtmf = ua.Events().WaitFor(MsgDtmf, 5000, call);
  ASSERT_TRUE(dtmf) << sipp->Report();
  EXPECT_EQ(dtmf->WParam, uintptr_t('#'));
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  ExpectPassed(*sipp);
}

// Key presses the way phones send them (RFC 4733: one timestamp per press,
// the first packet marked, the duration growing, the end packet three
// times), with audio between them, and what the network loses: a lost start
// (the marked packet and the two after it), lost end packets followed by the
// same key and by another one, a press seen only by its last end packet.
std::vector<TTimedPacket> PhoneKeyPresses(std::string& expected) {
  struct TPress {
    char Digit;
    std::vector<int> Lost;  // packet numbers 0-10 that never arrive
  };
  const TPress presses[] = {{'1', {}},         {'2', {0, 1, 2}},          {'3', {8, 9, 10}},
                            {'3', {9, 10}},    {'4', {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                            {'#', {}}};
  std::vector<TTimedPacket> packets;
  uint16_t sequence = 1000;
  uint32_t timestamp = 160000;
  int ms = 0;
  auto audio = [&](int frames) {
    for (int f = 0; f < frames; ++f, ms += 20, timestamp += 160)
      packets.push_back({ms, RtpPacket(0, sequence++, timestamp, std::vector<uint8_t>(160, UlawEncode(0)))});
  };
  audio(10);
  for (const TPress& press : presses) {
    const int code = press.Digit == '#' ? 11 : press.Digit - '0';
    for (int k = 0; k < 11; ++k, ms += 20) {
      const int n = std::min(k, 8);
      std::vector<uint8_t> p = RtpPacket(uint8_t(k == 0 ? 0x80 | 96 : 96), sequence++, timestamp,
                                         EventPayload(code, n == 8, uint16_t((n + 1) * 160)));
      if (std::find(press.Lost.begin(), press.Lost.end(), k) == press.Lost.end()) packets.push_back({ms, p});
    }
    timestamp += 11 * 160;
    expected += press.Digit;
    audio(5);
  }
  return packets;
}

// An offer that maps telephone-event to 96 (sipp replays a crafted capture
// to our media port): every key press is reported once, lost starts and ends
// notwithstanding, and our own digits go out under 96, one timestamp and one
// marked first packet per digit, the end three times.
TEST_F(SippTest, TelephoneEventsUnder96BothWays) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  TRtpPeer sink;  // where the offer asks for our RTP
  std::string expected;
  WriteTextFile(dir.File("rfc4733.pcap"), RtpPcap(PhoneKeyPresses(expected)));
  TSippOptions options;
  options.Remote = ua.Address();
  options.LocalPort = port;
  options.Extra = {"-s", "alice", "-key", "rtp_sink", std::to_string(sink.Port())};
  TSipp sipp(dir, "uac_rfc4733.xml", options);
  ISipCallPtr call = ua.WaitIncoming();
  ASSERT_TRUE(call) << sipp.Report();
  ua.Engine().Answer(call);

  std::string digits;
  while (digits.size() < expected.size()) {
    auto dtmf = ua.Events().WaitFor(MsgDtmf, 5000, call);
    if (!dtmf) break;
    digits += char(dtmf->WParam);
  }
  EXPECT_EQ(digits, expected) << sipp.Report();

  ua.Engine().SendDtmfRfc2833(call, "7*");
  std::map<uint32_t, std::vector<std::vector<uint8_t>>> events;  // by timestamp
  std::vector<uint8_t> packet;
  // Audio keeps coming; two digits take 22 frames, 440 ms.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < until && sink.Receive(packet, 100)) {
    if (packet.size() < 16) continue;
    EXPECT_NE(packet[1] & 0x7F, 101) << "events go under the peer's number";
    if ((packet[1] & 0x7F) == 96) events[ReadBigEndian32(&packet[4])].push_back(packet);
  }
  ASSERT_EQ(events.size(), 2u);
  std::string sent;
  for (const auto& [stamp, list] : events) {
    sent += "0123456789*#"[list.front()[12]];
    EXPECT_EQ(list.front()[1], 0x80 | 96) << "the first packet is marked";
    int ends = 0, lastDuration = 0;
    for (const auto& p : list) {
      const int duration = p[14] << 8 | p[15];
      EXPECT_GE(duration, lastDuration);
      lastDuration = duration;
      ends += (p[13] & 0x80) != 0;
      if (&p != &list.front()) {
        EXPECT_EQ(p[1], 96);
      }
    }
    EXPECT_EQ(ends, 3);
  }
  EXPECT_EQ(sent, "7*");

  ua.Engine().HangUp(call);
  EXPECT_TRUE(ua.WaitCallEvent(MsgCallEnded, call));
  ExpectPassed(sipp);
}

}  // namespace
