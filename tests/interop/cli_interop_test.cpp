// quorvelle-cli against real peers, as a user runs it: instances registered
// at Kamailio (Digest, every INVITE challenged) calling each other and
// baresip, driven by --exec scripts and judged by their event lines, their
// exit status and what their virtual speakers heard.
//
// Kamailio listens on 5060 here (each test has a network namespace of its
// own), so that URIs without a port, such as the Refer-To of a transfer,
// reach it as they would reach a real domain's proxy.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "media/wavfiles.h"
#include "support/cliprocess.h"
#include "support/peer_baresip.h"
#include "support/peer_kamailio.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

constexpr int kLimitMs = 60000;
constexpr int kSipPort = 5060;

const std::vector<TSipUser> kUsers = {{"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}};

std::string PasswordOf(const std::string& user) {
  for (const TSipUser& u : kUsers)
    if (u.Name == user) return u.Password;
  return "";
}

// One instance registering `user` at the Kamailio on 127.0.0.1:5060.
std::vector<std::string> Phone(const std::string& user, std::vector<std::string> extra) {
  int rtp = FreeRtpBase();
  std::vector<std::string> args = {"--server",     "127.0.0.1", "--user", user, "--password", PasswordOf(user),
                                   "--local-port", std::to_string(FreeUdpPort()),
                                   "--rtp-min",    std::to_string(rtp),
                                   "--rtp-max",    std::to_string(rtp + 40),
                                   "--audio",      "virtual"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Samples of a PCM WAV file as 16-bit mono at 8000 Hz (baresip records at
// its own rate).
std::vector<int16_t> Samples8k(const std::string& path) {
  std::string pcm;
  LoadWavAsPcm(ReadFile(path), pcm, 16, 8000);
  return BytesSamples(pcm);
}

// The samples of our recorder's GSM WAV file, decoded by sox rather than by
// the codec that wrote them.
std::vector<int16_t> GsmSamples(const std::string& path) {
  RequireProgram("sox", "sox");
  std::string raw = path + ".raw";
  std::string command = "sox '" + path + "' -t raw -e signed -b 16 -c 1 -r 8000 '" + raw + "' 2>&1";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << command;
    return {};
  }
  return BytesSamples(ReadFile(raw));
}

// The strongest `hz` component over half-second windows: tones come and go
// as digits, files and hold replace what a side sends for a while.
double Level(const std::vector<int16_t>& samples, double hz) {
  double best = 0;
  for (size_t from = 0; from + 4000 <= samples.size(); from += 2000)
    best = std::max(best, ToneAmplitude(samples.data() + from, 4000, hz, 8000));
  return best;
}

// The dominant frequency of the loudest second of `samples`.
double MeasuredTone(const std::vector<int16_t>& samples) {
  if (samples.size() < 8000) return 0;
  size_t loudest = 0;
  double loudestRms = -1;
  for (size_t from = 0; from + 8000 <= samples.size(); from += 4000) {
    double rms = Rms(samples.data() + from, 8000);
    if (rms > loudestRms) loudestRms = rms, loudest = from;
  }
  return DominantFrequency(samples.data() + loudest, 8000, 8000, 100, 3500);
}

std::string Report(TChildProcess& cli) { return "stdout:\n" + cli.Out() + "stderr:\n" + cli.Err(); }

// ---- two instances through Kamailio, for each DTMF method ------------------

class CliKamailioTest : public ::testing::Test {
protected:
  TPeerDir dir;
  TKamailio kamailio{dir, kUsers, false, kSipPort};
};

class CliKamailioDtmfTest : public CliKamailioTest, public ::testing::WithParamInterface<const char*> {};

// alice calls bob; both send DTMF by the method under test and the other
// side reports every digit; alice holds and resumes, records the call while
// she plays a file into it, and hangs up.
TEST_P(CliKamailioDtmfTest, RegisteredInstancesCallEachOther) {
  const std::string method = GetParam();
  const bool inBand = method == "inband";
  WriteFile(dir.File("beep.wav"), MakeWav(8000, 16, SampleBytes(MakeTone(1500, 8000, 8000, 8000))));
  TChildProcess bob(CliPath(),
                    Phone("bob", {"--dtmf-method", method, "--play-in", "tone:600", "--record-out",
                                  dir.File("bob-heard.wav"), "--exec",
                                  // The pause lets the 180 through first: Kamailio's
                                  // workers may pass a 200 sent right behind it.
                                  "wait-event registered 10; status; wait-event incoming 20; wait 0.5; answer;"
                                  "wait-event dtmf 10; wait-event dtmf 10; dtmf *7; wait-event bye 30; status"}));
  ASSERT_GE(bob.WaitLine("status account=", 15000), 0) << Report(bob) << kamailio.Process().LogTail();
  TChildProcess alice(
      CliPath(),
      Phone("alice", {"--dtmf-method", method, "--play-in", "tone:440", "--exec",
                      "wait-event registered 10; call bob; wait-event answered 10; dtmf 1#;"
                      "wait-event dtmf 10; wait-event dtmf 10;" +
                          std::string(inBand ? "wait-event wav-stopped 10;" : "") +
                          "hold; wait 1; status; unhold; wait 1; status;"
                          "record start; play " + dir.File("beep.wav") +
                          "; wait-event wav-stopped 10; wait 0.5; record stop " + dir.File("call.wav") +
                          "; hangup; wait-event bye 5; status"}));
  ASSERT_EQ(alice.Wait(kLimitMs), 0) << Report(alice) << Report(bob) << kamailio.Process().LogTail();
  ASSERT_EQ(bob.Wait(kLimitMs), 0) << Report(bob);
  EXPECT_EQ(alice.Err() + bob.Err(), "");

  std::vector<std::string> a = alice.OutLines(), b = bob.OutLines();
  EXPECT_TRUE(Has(a, "event registered"));
  EXPECT_TRUE(Has(a, "event ringback line=1"));  // bob's 180, relayed
  EXPECT_TRUE(Has(a, "event answered line=1"));
  EXPECT_EQ(Matching(a, "event dtmf"),
            (std::vector<std::string>{"event dtmf line=1 digit=*", "event dtmf line=1 digit=7"}));
  EXPECT_EQ(Matching(a, "status line=1"),
            (std::vector<std::string>{"status line=1 state=held direction=out remote=bob current=yes",
                                      "status line=1 state=connected direction=out remote=bob current=yes"}));
  EXPECT_EQ(Matching(a, "event bye"), std::vector<std::string>{"event bye line=1 status=200"});
  EXPECT_NE(Matching(a, "status account=").back().find(" registration=registered "), std::string::npos);

  EXPECT_TRUE(Has(b, "event incoming line=1 from=alice"));
  EXPECT_TRUE(Has(b, "event answered line=1"));
  EXPECT_EQ(Matching(b, "event dtmf"),
            (std::vector<std::string>{"event dtmf line=1 digit=1", "event dtmf line=1 digit=#"}));
  EXPECT_EQ(Matching(b, "event bye"), std::vector<std::string>{"event bye line=1 status=200"});
  EXPECT_EQ(Matching(b, "status line="), std::vector<std::string>{});  // the line is free again

  // bob heard alice's tone and the file she played after the resume; her
  // recording holds the file and bob's tone.
  std::vector<int16_t> bobHeard = Samples8k(dir.File("bob-heard.wav"));
  EXPECT_GT(Level(bobHeard, 440), 4000);
  EXPECT_GT(Level(bobHeard, 1500), 4000);
  EXPECT_LT(Level(bobHeard, 600), 300);  // not his own voice
  std::vector<int16_t> recording = GsmSamples(dir.File("call.wav"));
  EXPECT_GE(recording.size(), 8000u);  // at least the second the file lasts
  EXPECT_GT(Level(recording, 1500), 2000);
  EXPECT_GT(Level(recording, 600), 2000);
}

INSTANTIATE_TEST_SUITE_P(Methods, CliKamailioDtmfTest, ::testing::Values("inband", "rfc2833", "info"),
                         [](const auto& info) { return std::string(info.param); });

// The callee's requests after the caller held and resumed the call still
// follow the route Kamailio recorded: the re-INVITEs carry no Record-Route,
// and a callee that took that as an empty route set would send its INFO and
// BYE past the proxy, which refuses them (404), so the caller never hears the
// digit and its call never ends.
TEST_F(CliKamailioTest, HeldCalleeStillReachesTheCallerThroughTheProxy) {
  TChildProcess bob(CliPath(), Phone("bob", {"--dtmf-method", "info", "--auto-answer", "--exec",
                                             "wait-event registered 10; status; wait-event answered 20;"
                                             "wait 3; dtmf 5; wait 1; hangup; wait-event bye 5"}));
  ASSERT_GE(bob.WaitLine("status account=", 15000), 0) << Report(bob) << kamailio.Process().LogTail();
  TChildProcess alice(CliPath(), Phone("alice", {"--exec",
                                                 "wait-event registered 10; call bob; wait-event answered 10;"
                                                 "hold; wait 1; unhold; wait-event dtmf 10; wait-event bye 10"}));
  ASSERT_EQ(alice.Wait(kLimitMs), 0) << Report(alice) << Report(bob) << kamailio.Process().LogTail();
  ASSERT_EQ(bob.Wait(kLimitMs), 0) << Report(bob);
  EXPECT_EQ(Matching(alice.OutLines(), "event dtmf"), std::vector<std::string>{"event dtmf line=1 digit=5"});
  EXPECT_EQ(Matching(alice.OutLines(), "event bye"), std::vector<std::string>{"event bye line=1 status=200"});
}

// The end of a registration says why: refused, with the registrar's code,
// or removed on request.
TEST_F(CliKamailioTest, RegistrationEndedSaysWhy) {
  TChildProcess wrong(CliPath(), Phone("alice", {"--password", "not-hers", "--exec", "wait-event registration-ended 10"}));
  TChildProcess leaving(CliPath(), Phone("bob", {"--exec", "wait-event registered 10; unregister;"
                                                           "wait-event registration-ended 10"}));
  ASSERT_EQ(wrong.Wait(kLimitMs), 0) << Report(wrong);
  ASSERT_EQ(leaving.Wait(kLimitMs), 0) << Report(leaving);
  EXPECT_EQ(Matching(wrong.OutLines(), "event registration-ended"),
            std::vector<std::string>{"event registration-ended reason=refused status=401"});
  EXPECT_EQ(Matching(leaving.OutLines(), "event registration-ended"),
            std::vector<std::string>{"event registration-ended reason=unregistered"});
}

// ---- with baresip ---------------------------------------------------------

constexpr double kBaresipTone = 440;
constexpr double kCliTone = 1000;

class CliBaresipTest : public ::testing::Test {
protected:
  // baresip registers as `user`, answers by itself and says kBaresipTone.
  std::unique_ptr<TBaresip> StartBaresip(const std::string& user) {
    std::string wav = dir.File(user + "-says.wav");
    WriteFile(wav, MakeWav(8000, 16, SampleBytes(MakeTone(kBaresipTone, 8000, 8000 * 60, 8000))));
    TBaresipOptions options;
    options.User = user;
    options.Password = PasswordOf(user);
    options.Registrar = kamailio.Address();
    options.SourceWav = wav;
    return std::make_unique<TBaresip>(dir, options);
  }

  // What baresip heard on its last call: the newest decoded recording.
  std::vector<int16_t> BaresipHeard(TBaresip& peer) {
    std::vector<std::string> files = peer.RecordedAudio();
    for (auto it = files.rbegin(); it != files.rend(); ++it)
      if (it->find("dec") != std::string::npos) return Samples8k(*it);
    ADD_FAILURE() << "baresip recorded nothing it heard";
    return {};
  }

  TPeerDir dir;
  TKamailio kamailio{dir, kUsers, false, kSipPort};
};

TEST_F(CliBaresipTest, CliCallsBaresipAudioBothWays) {
  std::unique_ptr<TBaresip> bob = StartBaresip("bob");
  TChildProcess alice(CliPath(), Phone("alice", {"--play-in", "tone:1000", "--record-out",
                                                 dir.File("alice-heard.wav"), "--exec",
                                                 "wait-event registered 10; call bob; wait-event answered 10;"
                                                 "wait 3; hangup; wait-event bye 5"}));
  ASSERT_EQ(alice.Wait(kLimitMs), 0) << Report(alice) << bob->Process().LogTail();
  EXPECT_TRUE(bob->WaitEvent("CALL_ESTABLISHED"));
  EXPECT_TRUE(bob->WaitEvent("CALL_CLOSED"));
  EXPECT_EQ(Matching(alice.OutLines(), "event bye"), std::vector<std::string>{"event bye line=1 status=200"});
  EXPECT_NEAR(MeasuredTone(Samples8k(dir.File("alice-heard.wav"))), kBaresipTone, 2);
  EXPECT_NEAR(MeasuredTone(BaresipHeard(*bob)), kCliTone, 2);
}

TEST_F(CliBaresipTest, BaresipCallsCliAudioBothWays) {
  std::unique_ptr<TBaresip> bob = StartBaresip("bob");
  TChildProcess alice(CliPath(), Phone("alice", {"--play-in", "tone:1000", "--record-out",
                                                 dir.File("alice-heard.wav"), "--auto-answer", "--exec",
                                                 "wait-event registered 10; status; wait-event answered 20;"
                                                 "wait-event bye 20"}));
  ASSERT_GE(alice.WaitLine("status account=", 15000), 0) << Report(alice);
  ASSERT_TRUE(bob->Command("dial", "sip:alice@127.0.0.1"));
  ASSERT_TRUE(bob->WaitEvent("CALL_ESTABLISHED")) << Report(alice) << bob->Process().LogTail();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_TRUE(bob->Command("hangup"));
  ASSERT_EQ(alice.Wait(kLimitMs), 0) << Report(alice);
  std::vector<std::string> a = alice.OutLines();
  EXPECT_TRUE(Has(a, "event incoming line=1 from=bob"));
  EXPECT_EQ(Matching(a, "event bye"), std::vector<std::string>{"event bye line=1 status=200"});
  EXPECT_NEAR(MeasuredTone(Samples8k(dir.File("alice-heard.wav"))), kBaresipTone, 2);
  EXPECT_NEAR(MeasuredTone(BaresipHeard(*bob)), kCliTone, 2);
}

// alice calls bob (baresip) and sends him on to carol: bob calls carol, and
// alice's call ends once bob's NOTIFY tells her the transfer is under way.
TEST_F(CliBaresipTest, BlindTransferOfBaresipToAnotherInstance) {
  std::unique_ptr<TBaresip> bob = StartBaresip("bob");
  TChildProcess carol(CliPath(), Phone("carol", {"--play-in", "tone:1000", "--record-out",
                                                 dir.File("carol-heard.wav"), "--auto-answer", "--exec",
                                                 "wait-event registered 10; status; wait-event answered 30;"
                                                 "wait 2; hangup; wait-event bye 5"}));
  ASSERT_GE(carol.WaitLine("status account=", 15000), 0) << Report(carol);
  TChildProcess alice(CliPath(), Phone("alice", {"--verbose", "--exec",
                                                 "wait-event registered 10; call bob; wait-event answered 10;"
                                                 "wait 1; transfer carol; wait-event bye 10; status"}));
  ASSERT_EQ(alice.Wait(kLimitMs), 0) << Report(alice) << bob->Process().LogTail();
  ASSERT_EQ(carol.Wait(kLimitMs), 0) << Report(carol) << bob->Process().LogTail();

  // alice's call ended on bob's NOTIFY (the engine logs a datagram after
  // handling it, so its log line follows the bye), not on a BYE from bob.
  std::vector<std::string> a = alice.OutLines();
  EXPECT_EQ(Matching(a, "event bye"), std::vector<std::string>{"event bye line=1 status=200"});
  EXPECT_FALSE(Matching(a, "log NOTIFY sip:alice@").empty()) << Report(alice);
  EXPECT_TRUE(Matching(a, "log BYE ").empty()) << Report(alice);
  EXPECT_EQ(Matching(a, "status line="), std::vector<std::string>{});

  std::optional<TBaresipEvent> first = bob->WaitEvent("CALL_ESTABLISHED");
  std::optional<TBaresipEvent> second = bob->WaitEvent("CALL_ESTABLISHED");
  ASSERT_TRUE(first && second) << bob->Process().LogTail();
  EXPECT_NE(first->PeerUri.find("alice"), std::string::npos);
  EXPECT_NE(second->PeerUri.find("carol"), std::string::npos);

  std::vector<std::string> c = carol.OutLines();
  EXPECT_TRUE(Has(c, "event incoming line=1 from=bob"));
  EXPECT_TRUE(Has(c, "event answered line=1"));
  EXPECT_EQ(Matching(c, "event bye"), std::vector<std::string>{"event bye line=1 status=200"});
  EXPECT_NEAR(MeasuredTone(Samples8k(dir.File("carol-heard.wav"))), kBaresipTone, 2);
}

}  // namespace
}  // namespace qv::test
