// quorvelle-cli with SRTP: two instances that both insist on it hear each
// other's tone and say their calls are encrypted; one that insists and one
// that never offers it get no call, and each is told why.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "component/sipclient.h"
#include "media/wavfiles.h"
#include "support/cliprocess.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

constexpr int kLimitMs = 20000;

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& part) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.find(part) != std::string::npos) out.push_back(l);
  return out;
}

double Level(const std::string& wavPath, double hz) {
  std::string file = ReadFile(wavPath);
  TRiffInfo info = ParseRiff(file);
  std::vector<int16_t> s = BytesSamples(std::string_view(file).substr(size_t(info.DataOffset), size_t(info.DataLength)));
  double best = 0;
  for (size_t from = 0; from + 4000 <= s.size(); from += 2000)
    best = std::max(best, ToneAmplitude(s.data() + from, 4000, hz, 8000));
  return best;
}

struct TPair {
  int portA = FreeUdpPort(), portB = FreeUdpPort();
  std::vector<std::string> Args(const std::string& user, bool first, std::vector<std::string> extra) {
    const int rtp = FreeRtpBase();
    std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(first ? portB : portA),
                                     "--user", user, "--local-port", std::to_string(first ? portA : portB),
                                     "--no-register", "--audio", "virtual", "--rtp-min", std::to_string(rtp),
                                     "--rtp-max", std::to_string(rtp + 40)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
};

TEST(CliSrtp, MandatoryOnBothSidesCarriesTheTonesEncrypted) {
  TScratchDir dir;
  TPair pair;
  TChildProcess bob(CliPath(), pair.Args("bob", false,
                                         {"--srtp", "mandatory", "--srtp-keys-without-tls", "--play-in", "tone:1000",
                                          "--record-out", dir.File("bob.wav"), "--auto-answer", "--exec",
                                          "status; wait-event answered 10; wait 2; status; wait-event bye 15"}));
  ASSERT_GE(bob.WaitLine("status account=", kLimitMs), 0) << bob.Err();
  TChildProcess alice(CliPath(), pair.Args("alice", true,
                                           {"--srtp", "mandatory", "--srtp-keys-without-tls", "--play-in", "tone:440",
                                            "--record-out", dir.File("alice.wav"), "--exec",
                                            "call bob; wait-event answered 5; wait 3; status; hangup; wait-event bye 5"}));
  ASSERT_EQ(alice.Wait(kLimitMs), 0) << alice.Err();
  ASSERT_EQ(bob.Wait(kLimitMs), 0) << bob.Err();
  EXPECT_EQ(alice.Err() + bob.Err(), "");
  auto joined = [](const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    return all;
  };
  const std::vector<std::string> aliceStatus = Matching(alice.OutLines(), "status line=1");
  const std::vector<std::string> bobStatus = Matching(bob.OutLines(), "status line=1");
  ASSERT_EQ(aliceStatus.size(), 1u) << joined(alice.OutLines());
  ASSERT_EQ(bobStatus.size(), 1u) << joined(bob.OutLines());
  EXPECT_NE(aliceStatus[0].find(" srtp=yes tls=no"), std::string::npos);
  EXPECT_NE(bobStatus[0].find(" srtp=yes tls=no"), std::string::npos);
  EXPECT_GT(Level(dir.File("alice.wav"), 1000), 4000);
  EXPECT_GT(Level(dir.File("bob.wav"), 440), 4000);
}

TEST(CliSrtp, AMandatorySideAndAPlainSideGetNoCallEitherWay) {
  TScratchDir dir;
  {
    // The callee insists: it refuses the plain offer with 488.
    TPair pair;
    TChildProcess bob(CliPath(), pair.Args("bob", false,
                                           {"--srtp", "mandatory", "--srtp-keys-without-tls", "--auto-answer",
                                            "--exec", "status; wait 3"}));
    ASSERT_GE(bob.WaitLine("status account=", kLimitMs), 0) << bob.Err();
    TChildProcess alice(CliPath(), pair.Args("alice", true, {"--exec", "call bob; wait-event bye 5"}));
    ASSERT_EQ(alice.Wait(kLimitMs), 0) << alice.Err();
    EXPECT_EQ(Matching(alice.OutLines(), "event bye"), (std::vector<std::string>{"event bye line=1 status=488"}));
    EXPECT_EQ(Matching(alice.OutLines(), "event answered").size(), 0u);
    bob.Wait(kLimitMs);
    EXPECT_EQ(Matching(bob.OutLines(), "event incoming").size(), 0u);
  }
  {
    // The caller insists; the callee has SRTP off and refuses an RTP/SAVP offer.
    TPair pair;
    TChildProcess bob(CliPath(), pair.Args("bob", false, {"--auto-answer", "--exec", "status; wait 3"}));
    ASSERT_GE(bob.WaitLine("status account=", kLimitMs), 0) << bob.Err();
    TChildProcess alice(CliPath(), pair.Args("alice", true,
                                             {"--srtp", "mandatory", "--srtp-keys-without-tls", "--exec",
                                              "call bob; wait-event bye 5"}));
    ASSERT_EQ(alice.Wait(kLimitMs), 0) << alice.Err();
    EXPECT_EQ(Matching(alice.OutLines(), "event bye"), (std::vector<std::string>{"event bye line=1 status=488"}));
    bob.Wait(kLimitMs);
  }
  {
    // Keys not allowed over UDP: the call is not even made, and the error says why.
    TPair pair;
    TChildProcess alice(CliPath(), pair.Args("alice", true, {"--srtp", "mandatory", "--exec", "call bob"}));
    alice.Wait(kLimitMs);
    EXPECT_NE(alice.Err().find("error call: SRTP is mandatory for this account, and its keys are sent only over TLS"),
              std::string::npos)
        << alice.Err();
  }
}

}  // namespace
}  // namespace qv::test
