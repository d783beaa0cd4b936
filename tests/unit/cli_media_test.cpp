// quorvelle-cli with media: two instances on virtual audio, each capturing
// its own tone; what each one's speaker played, DTMF by RFC 2833 and in band
// across the call, a WAV file played into it and a recording of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "component/sipclient.h"
#include "media/wavfiles.h"
#include "platform/audiodevice.h"
#include "support/cliprocess.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

constexpr int kLimitMs = 20000;

// Whether a connected call gets an RTP socket in this build: without the
// media threads there is nothing to hear.
bool MediaWired() {
  SelectAudioBackend("virtual");
  TSipClient a, b;
  a.SetLocalPort(0);
  b.SetLocalPort(0);
  int baseA = FreeRtpBase(), baseB = FreeRtpBase();
  a.SetRtpPortMin(baseA);
  a.SetRtpPortMax(baseA + 40);
  b.SetRtpPortMin(baseB);
  b.SetRtpPortMax(baseB + 40);
  a.SetActive(true);
  b.SetActive(true);
  ISipAccountPtr accountA = a.AddAccount("127.0.0.1:" + std::to_string(b.BoundPort()), "a", "", "", "");
  ISipAccountPtr accountB = b.AddAccount("127.0.0.1:" + std::to_string(a.BoundPort()), "b", "", "", "");
  a.PrepareAccount(accountA);
  b.PrepareAccount(accountB);
  ISipCallPtr incoming;
  b.OnInvite = [&](TSipClient&, const ISipCallPtr& call) { incoming = call; };
  a.MakeCall(accountA, "b", -1, -1);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!incoming && std::chrono::steady_clock::now() < end) {
    a.ProcessMessages(5);
    b.ProcessMessages(5);
  }
  if (!incoming) return false;
  b.Answer(incoming);
  return incoming->GetRtpSocket() >= 0;
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

// The samples of a 16-bit PCM WAV file.
std::vector<int16_t> WavSamples(const std::string& path) {
  std::string file = ReadFile(path);
  TRiffInfo info = ParseRiff(file);
  return BytesSamples(std::string_view(file).substr(size_t(info.DataOffset), size_t(info.DataLength)));
}

// The strongest `hz` component over half-second windows: the tones come and
// go as digits and files replace the microphone for a while.
double Level(const std::vector<int16_t>& samples, double hz) {
  double best = 0;
  for (size_t from = 0; from + 4000 <= samples.size(); from += 2000)
    best = std::max(best, ToneAmplitude(samples.data() + from, 4000, hz, 8000));
  return best;
}

TEST(CliMedia, AudioBothWaysDtmfPlaybackAndRecording) {
  if (!MediaWired()) GTEST_SKIP() << "no RTP socket on a connected call: the media threads are not wired in";
  TScratchDir dir;
  int portA = FreeUdpPort(), portB = FreeUdpPort();
  // Half a second of 600 Hz to play into the call.
  WriteFile(dir.File("beep.wav"), MakeWav(8000, 16, SampleBytes(MakeTone(600, 8000, 4000, 8000))));
  auto phone = [&](const std::string& user, int port, int peer, int rtp, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(peer), "--user", user,
                                     "--local-port", std::to_string(port), "--no-register",
                                     "--rtp-min", std::to_string(rtp), "--rtp-max", std::to_string(rtp + 40)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  TChildProcess bob(CliPath(),
                    phone("bob", portB, portA, FreeRtpBase(),
                          {"--play-in", "tone:1000", "--record-out", dir.File("bob-heard.wav"), "--auto-answer",
                           "--dtmf-method", "inband", "--exec",
                           "status; wait-event answered 10; wait-event dtmf 5; wait-event dtmf 5; dtmf 92;"
                           "wait-event wav-stopped 5; play " + dir.File("beep.wav") +
                               "; wait-event wav-stopped 5; wait-event bye 15"}));
  ASSERT_GE(bob.WaitLine("status account=", kLimitMs), 0) << bob.Err();
  TChildProcess alice(CliPath(),
                      phone("alice", portA, portB, FreeRtpBase(),
                            {"--play-in", "tone:440", "--record-out", dir.File("alice-heard.wav"),
                             "--dtmf-method", "rfc2833", "--exec",
                             "call bob; wait-event answered 5; record start; wait 0.5; dtmf 12; wait-event dtmf 5; wait-event dtmf 5;"
                             "wait 2; record stop " + dir.File("call.wav") + "; hangup; wait-event bye 5"}));
  ASSERT_EQ(alice.Wait(kLimitMs), 0) << alice.Err();
  ASSERT_EQ(bob.Wait(kLimitMs), 0) << bob.Err();
  EXPECT_EQ(alice.Err() + bob.Err(), "");

  EXPECT_EQ(Matching(bob.OutLines(), "event dtmf"),
            (std::vector<std::string>{"event dtmf line=1 digit=1", "event dtmf line=1 digit=2"}));
  // In band, one digit after the other, each heard on its own.
  EXPECT_EQ(Matching(alice.OutLines(), "event dtmf"),
            (std::vector<std::string>{"event dtmf line=1 digit=9", "event dtmf line=1 digit=2"}));
  EXPECT_EQ(Matching(bob.OutLines(), "event wav-stopped").size(), 2u);  // the digits, then the file

  // Each side heard the other's tone, and not its own.
  std::vector<int16_t> aliceHeard = WavSamples(dir.File("alice-heard.wav"));
  std::vector<int16_t> bobHeard = WavSamples(dir.File("bob-heard.wav"));
  EXPECT_GT(Level(aliceHeard, 1000), 4000);
  EXPECT_GT(Level(aliceHeard, 600), 4000);  // the file bob played
  EXPECT_LT(Level(aliceHeard, 440), 300);
  EXPECT_GT(Level(bobHeard, 440), 4000);
  EXPECT_LT(Level(bobHeard, 1000), 300);

  // The recording: a GSM WAV of at least the two seconds it ran.
  std::string recording = ReadFile(dir.File("call.wav"));
  ASSERT_GE(recording.size(), 48u);
  EXPECT_EQ(recording.substr(0, 4), "RIFF");
  EXPECT_GE(recording.size() - 48, size_t(2 * 25 * 65 * 8 / 10));
}

// Alice's microphone is a device that is not there: she is told, and her
// digits and the file she plays still reach bob.
TEST(CliMedia, WithoutAMicrophoneTheCallGoesOnAndTheUserIsTold) {
  if (!MediaWired()) GTEST_SKIP() << "no RTP socket on a connected call: the media threads are not wired in";
  TScratchDir dir;
  int portA = FreeUdpPort(), portB = FreeUdpPort();
  WriteFile(dir.File("beep.wav"), MakeWav(8000, 16, SampleBytes(MakeTone(600, 8000, 8000, 8000))));
  auto phone = [&](const std::string& user, int port, int peer, std::vector<std::string> extra) {
    const int rtp = FreeRtpBase();
    std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(peer), "--user", user,
                                     "--local-port", std::to_string(port), "--no-register", "--audio", "virtual",
                                     "--rtp-min", std::to_string(rtp), "--rtp-max", std::to_string(rtp + 40)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  TChildProcess bob(CliPath(), phone("bob", portB, portA,
                                     {"--record-out", dir.File("bob-heard.wav"), "--auto-answer", "--exec",
                                      "status; wait-event answered 10; wait-event dtmf 5; wait-event bye 15"}));
  ASSERT_GE(bob.WaitLine("status account=", kLimitMs), 0) << bob.Err();
  TChildProcess alice(CliPath(),
                      phone("alice", portA, portB,
                            {"--input-device", "3", "--dtmf-method", "rfc2833", "--exec",
                             "call bob; wait-event answered 5; wait-event device-error 5; dtmf 7;"
                             "play " + dir.File("beep.wav") + "; wait-event wav-stopped 5; hangup;"
                             "wait-event bye 5"}),
                      false, {"QUORVELLE_AUDIO_IN_FAILS_3=1"});
  ASSERT_EQ(alice.Wait(kLimitMs), 0) << alice.Err();
  ASSERT_EQ(bob.Wait(kLimitMs), 0) << bob.Err();
  EXPECT_EQ(Matching(alice.OutLines(), "event device-error"),
            (std::vector<std::string>{
                "event device-error line=1 device=capture reason=Specified device identifier is out of range."}));
  EXPECT_EQ(Matching(bob.OutLines(), "event dtmf"), (std::vector<std::string>{"event dtmf line=1 digit=7"}));
  EXPECT_GT(Level(WavSamples(dir.File("bob-heard.wav")), 600), 4000) << "the file alice played";
}

}  // namespace
}  // namespace qv::test
