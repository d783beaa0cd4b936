// quorvelle-cli in a call with an honest second instance while a hostile
// third party on the same network does what scanners and attackers do:
// requests with foreign tags inside the call, RTP and forged telephone
// events at the guessed media port, a flood of INVITEs; and a far end that
// wants our password for a realm of its own. Each attack must leave the call
// and its audio as they were, and leave nothing behind.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "media/codecpcm.h"
#include "media/wavfiles.h"
#include "support/cliprocess.h"
#include "support/rtp_helpers.h"
#include "support/tone_analysis.h"
#include "support/udppeer.h"

namespace qv::test {
namespace {

constexpr int kLines = 4;

std::string Report(TChildProcess& cli) { return "stdout:\n" + cli.Out() + "stderr:\n" + cli.Err(); }

int Count(const std::vector<std::string>& lines, const std::string& prefix) {
  return int(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// From /proc: the process's threads and resident memory in kB.
int Threads(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}
long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// A header value in a "log ..." line of the console tool, where CR LF is
// written as \r\n.
std::string LoggedHeader(const std::string& log, const std::string& name) {
  size_t at = log.find("\\r\\n" + name + ": ");
  if (at == std::string::npos) return "";
  at += 4 + name.size() + 2;
  return log.substr(at, log.find("\\r\\n", at) - at);
}

double Level(const std::vector<int16_t>& samples, size_t from, size_t count, double hz) {
  if (from + count > samples.size()) return 0;
  return ToneAmplitude(samples.data() + from, count, hz, 8000);
}

std::vector<int16_t> Heard(const std::string& path) {
  std::string pcm;
  LoadWavAsPcm(ReadFile(path), pcm, 16, 8000);
  return BytesSamples(pcm);
}

struct TPhones {
  TPeerDir dir;
  int alicePort = FreeUdpPort();
  int bobPort = FreeUdpPort();
  int aliceRtp = FreeRtpBase();
  int bobRtp = FreeRtpBase();
  int carolPort = FreeUdpPort();
  int carolRtp = FreeRtpBase();
};

std::vector<std::string> Args(const std::string& user, int port, int peerPort, int rtp, const std::string& tone,
                              const std::string& heard) {
  return {"--no-register", "--server", "127.0.0.1:" + std::to_string(peerPort), "--user", user,
          "--local-port", std::to_string(port), "--rtp-min", std::to_string(rtp),
          "--rtp-max", std::to_string(rtp + 40), "--audio", "virtual", "--play-in", tone,
          "--record-out", heard, "--lines", std::to_string(kLines)};
}

TEST(HostilePeer, AttacksLeaveTheCallAndItsAudioAlone) {
  TPhones p;
  std::vector<std::string> aliceArgs =
      Args("alice", p.alicePort, p.bobPort, p.aliceRtp, "tone:1000", p.dir.File("alice-heard.wav"));
  aliceArgs.push_back("--verbose");
  TChildProcess alice(CliPath(), aliceArgs, true);
  TChildProcess bob(CliPath(), Args("bob", p.bobPort, p.alicePort, p.bobRtp, "tone:600", p.dir.File("bob-heard.wav")),
                    true);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  bob.Write("call alice\n");
  ASSERT_GE(alice.WaitLine("event incoming line=1 from=bob", 10000), 0) << Report(alice);
  alice.Write("answer\n");
  ASSERT_GE(bob.WaitLine("event answered line=1", 10000), 0) << Report(bob);
  std::this_thread::sleep_for(std::chrono::seconds(1));

  // What the attacker knows: the Call-ID and bob's tag (seen on the path).
  std::string invite;
  for (const std::string& line : alice.OutLines())
    if (line.rfind("log INVITE ", 0) == 0) invite = line;
  ASSERT_FALSE(invite.empty()) << Report(alice);
  const std::string callId = LoggedHeader(invite, "Call-ID");
  std::string from = LoggedHeader(invite, "From");
  const std::string bobTag = from.substr(from.find("tag=") + 4);

  TUdpPeer attacker;
  auto request = [&](const std::string& method, int cseq, const std::string& extra, const std::string& body) {
    std::string port = std::to_string(attacker.Port());
    return method + " sip:alice@127.0.0.1:" + std::to_string(p.alicePort) + " SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:" + port + ";branch=z9hG4bKevil" + method + "\r\n"
           "From: <sip:bob@127.0.0.1>;tag=" + bobTag + "\r\n"
           "To: <sip:alice@127.0.0.1>;tag=guessed\r\n"
           "Call-ID: " + callId + "\r\n"
           "CSeq: " + std::to_string(cseq) + " " + method + "\r\n"
           "Contact: <sip:evil@127.0.0.1:" + port + ">\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string evilSdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                              "m=audio " + std::to_string(attacker.Port()) + " RTP/AVP 0\r\n";
  const std::vector<std::string> thirdParty = {
      request("INVITE", 50, "Content-Type: application/sdp\r\n", evilSdp),
      request("INFO", 51, "Content-Type: application/dtmf-relay\r\n", "Signal=5\r\nDuration=160\r\n"),
      request("NOTIFY", 52, "Event: refer\r\nContent-Type: message/sipfrag\r\n", "SIP/2.0 200 OK\r\n"),
      request("BYE", 53, "", ""),
      request("CANCEL", 1, "", ""),
  };
  for (const std::string& r : thirdParty) {
    attacker.Send(r, p.alicePort);
    std::string answer = attacker.Expect("SIP/2.0 481 ", 3000);
    EXPECT_NE(answer, "") << r;
  }

  // Stray RTP from another port at alice's media port (the first of her
  // range): a loud 3 kHz tone and forged telephone events for "5".
  std::vector<uint8_t> loud(160);
  std::vector<int16_t> tone3k = MakeTone(3000, 20000, 160, 8000);
  for (size_t i = 0; i < 160; ++i) loud[i] = UlawEncode(tone3k[i]);
  const int aliceMedia = p.aliceRtp + 2;
  for (int i = 0; i < 150; ++i) {
    std::vector<uint8_t> audio = RtpPacket(0, uint16_t(1000 + i), uint32_t(160 * i), loud);
    std::vector<uint8_t> event = RtpPacket(101, uint16_t(5000 + i), 99999, EventPayload(5, i % 5 == 4, uint16_t(160 * (i % 5 + 1))));
    attacker.Send(std::string(audio.begin(), audio.end()), aliceMedia);
    attacker.Send(std::string(event.begin(), event.end()), aliceMedia);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  // The flood: 5000 INVITEs with fresh Call-IDs in 10 s, from one socket.
  const int idleThreads = Threads(alice.Pid());
  const long rssBefore = RssKb(alice.Pid());
  std::set<std::string> ringing;
  int answers503 = 0;
  auto drain = [&] {
    while (std::optional<std::string> got = attacker.Receive(0)) {
      if (got->rfind("SIP/2.0 180", 0) == 0) ringing.insert(Header(*got, "Call-ID"));
      if (got->rfind("SIP/2.0 503", 0) == 0) ++answers503;
    }
  };
  auto junk = [&](int i, const std::string& method) {
    std::string port = std::to_string(attacker.Port());
    return method + " sip:alice@127.0.0.1:" + std::to_string(p.alicePort) + " SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:" + port + ";branch=z9hG4bKjunk" + std::to_string(i) + "\r\n"
           "From: <sip:scanner@127.0.0.1>;tag=j" + std::to_string(i) + "\r\n"
           "To: <sip:alice@127.0.0.1>\r\n"
           "Call-ID: junk-" + std::to_string(i) + "\r\n"
           "CSeq: 1 " + method + "\r\n"
           "Contact: <sip:scanner@127.0.0.1:" + port + ">\r\n" +
           (method == "INVITE" ? "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(evilSdp.size()) +
                                     "\r\n\r\n" + evilSdp
                               : "Content-Length: 0\r\n\r\n");
  };
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5000; ++i) {
    attacker.Send(junk(i, "INVITE"), p.alicePort);
    if (i % 10 == 9) {
      drain();
      std::this_thread::sleep_until(start + std::chrono::milliseconds(2 * (i + 1)));
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  drain();
  const long rssAfter = RssKb(alice.Pid());
  EXPECT_LE(int(ringing.size()), kLines - 1) << "calls beyond the cap";
  EXPECT_GT(answers503, 0);
  // A sanitized build keeps freed blocks in ASan's quarantine (256 MB by
  // default) and grows without leaking: memory is judged on plain builds.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(rssAfter - rssBefore, 20 * 1024) << rssBefore << " kB before, " << rssAfter << " kB after";
#endif
  // The scanner goes: its ringing calls are cancelled as they should be.
  for (const std::string& id : ringing) {
    int i = std::stoi(id.substr(5));
    std::string cancel = junk(i, "CANCEL");
    attacker.Send(cancel, p.alicePort);
  }
  bool idle = false;
  for (int i = 0; i < 50 && !idle; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    idle = Threads(alice.Pid()) <= idleThreads;
  }
  EXPECT_TRUE(idle) << Threads(alice.Pid()) << " threads, " << idleThreads << " before the flood";
  std::printf("flood: 5000 INVITEs in %.1f s, %zu rang, %d answered 503, RSS %ld -> %ld kB, threads %d -> %d\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), ringing.size(),
              answers503, rssBefore, rssAfter, idleThreads, Threads(alice.Pid()));

  // An honest peer can still call in: alice's second line rings.
  TChildProcess carol(CliPath(), Args("carol", p.carolPort, p.alicePort, p.carolRtp, "tone:800",
                                      p.dir.File("carol-heard.wav")), true);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const size_t seenBefore = alice.OutLines().size();
  carol.Write("call alice\n");
  EXPECT_GE(alice.WaitLine("event incoming line=2 from=carol", 10000, seenBefore), 0) << Report(alice);
  EXPECT_GE(carol.WaitLine("event ringback line=1", 10000), 0) << Report(carol);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  carol.Write("quit\n");
  EXPECT_EQ(carol.Wait(20000), 0) << Report(carol);
  std::vector<std::string> out = alice.OutLines();
  alice.Write("quit\n");
  bob.Write("quit\n");
  EXPECT_EQ(alice.Wait(20000), 0) << Report(alice);
  EXPECT_EQ(bob.Wait(20000), 0) << Report(bob);

  EXPECT_EQ(Count(out, "event dtmf"), 0) << Report(alice);
  EXPECT_EQ(Count(out, "event bye line=1"), 0) << "the first call ended before its time";
  // Audio both ways until the end: each heard the other's tone, alice never
  // the attacker's.
  std::vector<int16_t> aliceHeard = Heard(p.dir.File("alice-heard.wav"));
  std::vector<int16_t> bobHeard = Heard(p.dir.File("bob-heard.wav"));
  ASSERT_GT(aliceHeard.size(), 8000u * 12);
  ASSERT_GT(bobHeard.size(), 8000u * 12);
  const size_t lastSecond = aliceHeard.size() - 16000;
  EXPECT_GT(Level(aliceHeard, lastSecond, 8000, 600), 1000) << "alice no longer hears bob";
  EXPECT_GT(Level(bobHeard, bobHeard.size() - 16000, 8000, 1000), 1000) << "bob no longer hears alice";
  double worst3k = 0;
  for (size_t at = 0; at + 4000 <= aliceHeard.size(); at += 4000)
    worst3k = std::max(worst3k, Level(aliceHeard, at, 4000, 3000));
  EXPECT_LT(worst3k, 500) << "the stray RTP was played";
}

// A far end that challenges our hold re-INVITE, and then a new call, for a
// realm that is not the one our server named first: no credential leaves for
// it, the held call stays as it was, the new call ends with the status.
TEST(HostilePeer, ForeignRealmGetsNoCredentials) {
  TPeerDir dir;
  TUdpPeer evil;
  const int port = FreeUdpPort();
  const int rtp = FreeRtpBase();
  TChildProcess alice(CliPath(),
                      {"--no-register", "--server", "127.0.0.1:" + std::to_string(evil.Port()), "--user", "alice",
                       "--password", "secret", "--local-port", std::to_string(port), "--rtp-min",
                       std::to_string(rtp), "--rtp-max", std::to_string(rtp + 40), "--audio", "virtual", "--exec",
                       "call bob; wait-event answered 10; hold; wait 1.5; status; line 2; call carol;"
                       "wait-event bye 10; quit"});
  std::vector<std::string> seen;
  auto next = [&](const std::string& start) {
    std::string got = evil.Expect(start, 10000);
    seen.push_back(got);
    return got;
  };
  const std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                          "m=audio 41000 RTP/AVP 0\r\n";
  const std::string contact = "Contact: <sip:bob@127.0.0.1:" + std::to_string(evil.Port()) + ">\r\n";
  // The first INVITE is challenged by the account's own server: that realm
  // is answered and kept.
  std::string invite = next("INVITE ");
  evil.Send(Respond(invite, "407 Proxy Authentication Required", "p",
                    "Proxy-Authenticate: Digest realm=\"home.example\", nonce=\"n0\"\r\n"),
            port);
  next("ACK ");
  invite = next("INVITE ");
  EXPECT_NE(Header(invite, "Proxy-Authorization").find("realm=\"home.example\""), std::string::npos) << invite;
  evil.Send(Respond(invite, "200 OK", "evilbob", contact + "Content-Type: application/sdp\r\n", sdp), port);
  next("ACK ");
  std::string hold = next("INVITE ");
  evil.Send(Respond(hold, "401 Unauthorized", "evilbob",
                    "WWW-Authenticate: Digest realm=\"evil.example\", nonce=\"abc\", qop=\"auth\"\r\n"),
            port);
  next("ACK ");
  std::string second = next("INVITE ");
  evil.Send(Respond(second, "407 Proxy Authentication Required", "x",
                    "Proxy-Authenticate: Digest realm=\"evil.example\", nonce=\"def\"\r\n"),
            port);
  next("ACK ");
  std::string bye = next("BYE ");
  evil.Send(Respond(bye, "200 OK"), port);
  ASSERT_EQ(alice.Wait(20000), 0) << Report(alice);
  while (std::optional<std::string> more = evil.Receive(300)) seen.push_back(*more);
  for (const std::string& datagram : seen) {
    EXPECT_EQ(datagram.find("evil.example"), std::string::npos) << datagram;
    EXPECT_EQ(Header(datagram, "Authorization"), "") << datagram;
  }
  std::vector<std::string> out = alice.OutLines();
  EXPECT_EQ(Count(out, "status line=1 state=connected"), 1) << Report(alice);
  EXPECT_EQ(Count(out, "event bye line=2 status=407"), 1) << Report(alice);
}

// The two templates of a PROTOS case file: "<length> <INVITE><length> <teardown>".
bool SplitCase(const std::string& data, std::string& invite, std::string& teardown) {
  auto take = [&](size_t& at, std::string& into) {
    size_t space = data.find(' ', at);
    if (space == std::string::npos || space == at || space - at > 9) return false;
    size_t length = std::stoul(data.substr(at, space - at));
    into = data.substr(space + 1, length);
    at = space + 1 + length;
    return true;
  };
  size_t at = 0;
  return take(at, invite) && take(at, teardown);
}

std::string Fill(std::string text, const std::map<std::string, std::string>& values) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool done = false;
    if (text[i] == '<')
      for (const auto& [name, value] : values)
        if (text.compare(i, name.size(), name) == 0) {
          out += value;
          i += name.size();
          done = true;
          break;
        }
    if (!done) out += text[i++];
  }
  // Content-Length last: the bytes after the first empty line.
  size_t mark = out.find("<Content-Length>");
  if (mark != std::string::npos) {
    size_t body = out.find("\r\n\r\n");
    out.replace(mark, 16, std::to_string(body == std::string::npos || body < mark ? 0 : out.size() - body - 4 - 16));
  }
  if (out.size() > 65507) out.resize(65507);
  return out;
}

// The PROTOS c07-sip suite, every case addressed to alice while she is in a
// call with bob. The cases carry foreign addresses: this test program runs in
// a namespace that holds only loopback, so nothing reaches them.
TEST(HostilePeer, ProtosSuiteAgainstACallInProgress) {
  TPhones p;
  const std::string cases = p.dir.File("protos");
  std::filesystem::create_directories(cases);
  const std::string unpack = "tar -xzf '" + std::string(QV_TESTDATA_DIR) + "/protos/protos-c07-sip.tar.gz' -C '" + cases + "'";
  ASSERT_EQ(std::system(unpack.c_str()), 0);
  std::vector<std::string> aliceArgs =
      Args("alice", p.alicePort, p.bobPort, p.aliceRtp, "tone:1000", p.dir.File("alice-heard.wav"));
  // Paced at 2 ms a case the suite is some hundred INVITEs a second.
  aliceArgs.insert(aliceArgs.end(), {"--invite-rate", "1000"});
  TChildProcess alice(CliPath(), aliceArgs, true);
  TChildProcess bob(CliPath(), Args("bob", p.bobPort, p.alicePort, p.bobRtp, "tone:600", p.dir.File("bob-heard.wav")),
                    true);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  bob.Write("call alice\n");
  ASSERT_GE(alice.WaitLine("event incoming line=1 from=bob", 10000), 0) << Report(alice);
  alice.Write("answer\n");
  ASSERT_GE(bob.WaitLine("event answered line=1", 10000), 0) << Report(bob);

  TUdpPeer sender;
  TUdpPeer checker;
  int answered = 0, unavailable = 0, checks = 0;
  auto drain = [&] {
    while (std::optional<std::string> got = sender.Receive(0)) {
      ++answered;
      if (got->rfind("SIP/2.0 503", 0) == 0) ++unavailable;
      // A final refusal of an INVITE is acknowledged, as the suite says.
      if (got->rfind("SIP/2.0 ", 0) == 0 && got->size() > 8 && (*got)[8] >= '3' &&
          Header(*got, "CSeq").find("INVITE") != std::string::npos) {
        std::string ack = "ACK sip:alice@127.0.0.1:" + std::to_string(p.alicePort) + " SIP/2.0\r\n";
        for (const std::string& via : Headers(*got, "Via")) ack += "Via: " + via + "\r\n";
        ack += "From: " + Header(*got, "From") + "\r\nTo: " + Header(*got, "To") + "\r\nCall-ID: " +
               Header(*got, "Call-ID") + "\r\nCSeq: " + std::to_string(CSeqNumber(*got)) + " ACK\r\n" +
               "Content-Length: 0\r\n\r\n";
        sender.Send(ack, p.alicePort);
      }
    }
  };
  auto alive = [&](int n) {
    const std::string id = "alive-" + std::to_string(n);
    checker.Send("OPTIONS sip:alice@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(checker.Port()) +
                     ";branch=z9hG4bK" + id + "\r\nFrom: <sip:check@127.0.0.1>;tag=c\r\nTo: <sip:alice@127.0.0.1>\r\n"
                     "Call-ID: " + id + "\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n",
                 p.alicePort);
    while (std::optional<std::string> got = checker.Receive(2000))
      if (Header(*got, "Call-ID") == id) return true;
    return false;
  };
  const auto start = std::chrono::steady_clock::now();
  int sent = 0;
  for (int n = 0; n <= 4526; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "%07d", n);
    std::string invite, teardown;
    ASSERT_TRUE(SplitCase(ReadFile(cases + "/protos-c07-sip/" + name), invite, teardown)) << name;
    std::map<std::string, std::string> values = {
        {"<To>", "alice@127.0.0.1:" + std::to_string(p.alicePort)},
        {"<From>", "protos@127.0.0.1:" + std::to_string(sender.Port())},
        {"<From-Address>", "127.0.0.1"},
        {"<From-IP>", "127.0.0.1"},
        {"<Local-Port>", std::to_string(sender.Port())},
        {"<Branch-ID>", ".r." + std::to_string(n)},
        {"<Call-ID>", "protos-" + std::to_string(n)},
        {"<CSeq>", "1"},
        {"<Teardown-Method>", "CANCEL"},
    };
    sender.Send(Fill(invite, values), p.alicePort);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sender.Send(Fill(teardown, values), p.alicePort);
    ++sent;
    drain();
    if (n % 500 == 499) {
      ++checks;
      ASSERT_TRUE(alive(n)) << "no answer after case " << n << "\n" << Report(alice);
    }
    std::this_thread::sleep_until(start + std::chrono::milliseconds(3 * (n + 1)));
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  drain();
  ASSERT_TRUE(alive(99999)) << Report(alice);
  std::printf("protos: %d cases sent, %d answers, %d alive checks, %.1f s\n", sent, answered, checks + 1,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  EXPECT_EQ(unavailable, 0);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  alice.Write("status\nquit\n");
  bob.Write("quit\n");
  EXPECT_EQ(alice.Wait(30000), 0) << Report(alice);
  EXPECT_EQ(bob.Wait(30000), 0) << Report(bob);
  EXPECT_EQ(Count(alice.OutLines(), "status line=1 state=connected"), 1) << Report(alice);
  std::vector<int16_t> aliceHeard = Heard(p.dir.File("alice-heard.wav"));
  std::vector<int16_t> bobHeard = Heard(p.dir.File("bob-heard.wav"));
  ASSERT_GT(aliceHeard.size(), 16000u);
  ASSERT_GT(bobHeard.size(), 16000u);
  EXPECT_GT(Level(aliceHeard, aliceHeard.size() - 16000, 8000, 600), 1000) << "alice no longer hears bob";
  EXPECT_GT(Level(bobHeard, bobHeard.size() - 16000, 8000, 1000), 1000) << "bob no longer hears alice";
}

}  // namespace
}  // namespace qv::test
