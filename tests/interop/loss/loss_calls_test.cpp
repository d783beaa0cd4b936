// Calls through a network that loses 10 % of the SIP datagrams to and from
// the user agent under test (iptables in the test's own namespace), for
// quorvelle-cli and, in the same test and the same way, for baresip as the
// anchor a user would compare with. Both figures are printed; ours must
// complete at least 98 % of the calls end to end and leave no call behind.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interop/loss/loss_support.h"
#include "support/cliprocess.h"
#include "support/peer_baresip.h"
#include "support/peer_sipp.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

constexpr int kLossPercent = 10;

std::vector<std::string> CliArgs(int sipPort, const std::string& server, std::vector<std::string> extra) {
  int rtp = FreeRtpBase(200);
  std::vector<std::string> args = {"--no-register", "--server", server, "--user", "alice",
                                   "--local-port", std::to_string(sipPort),
                                   "--rtp-min", std::to_string(rtp), "--rtp-max", std::to_string(rtp + 200),
                                   "--audio", "virtual", "--play-in", "silence"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// The busy lines quorvelle-cli reports; none once every call is over.
int BusyLines(TChildProcess& cli) {
  size_t from = cli.OutLines().size();
  cli.Write("status\n");
  if (cli.WaitLine("status account=", 5000, from) < 0) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the line statuses follow at once
  int busy = 0;
  std::vector<std::string> lines = cli.OutLines();
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].rfind("status line=", 0) == 0) ++busy;
  return busy;
}

// sipp places `calls` one-second calls at 4 a second to `target`; its counts.
TSippCounts SippCalls(const TPeerDir& dir, const std::string& target, int calls, const std::string& name) {
  std::string stat = dir.File(name + "-stat.csv");
  TSippOptions o;
  o.Remote = target;
  o.Calls = calls;
  o.TimeoutSeconds = 240;
  o.Extra = {"-s", "alice", "-r", "4", "-l", "60", "-trace_stat", "-stf", stat, "-fd", "1",
             "-mp", std::to_string(FreeUdpPort())};
  TSipp sipp(dir, "uac_loss.xml", o);
  int rc = sipp.Wait(260000);
  TSippCounts counts = ReadSippCounts(stat);
  if (rc < 0 || counts.Successful + counts.Failed != calls)
    ADD_FAILURE() << name << ": sipp exit " << rc << "\n" << sipp.Screen() << "\n" << sipp.Errors();
  return counts;
}

TEST(LossTest, SippCallsThroughTenPercentLoss) {
  const int kCalls = 120;
  TPeerDir dir;
  int ourPort = FreeUdpPort();
  TChildProcess cli(CliPath(), CliArgs(ourPort, "127.0.0.1:9", {"--auto-answer", "--lines", "60"}), true);
  ASSERT_TRUE(WaitUdpPortBound(ourPort, 10000)) << cli.Err();
  DropAtRandom(ourPort, kLossPercent);
  std::string wav = dir.File("tone.wav");
  WriteFile(wav, MakeWav(8000, 16, SampleBytes(MakeTone(440, 8000, 8000 * 5, 8000))));
  TBaresipOptions o;
  o.User = "alice";
  o.SourceWav = wav;
  o.MaxCalls = 100;
  TBaresip baresip(dir, o);
  DropAtRandom(baresip.SipPort(), kLossPercent);
  // Both answerers are called at the same time, each by a sipp of its own.
  auto anchor = std::async(std::launch::async, [&] { return SippCalls(dir, baresip.Address(), kCalls, "baresip"); });
  TSippCounts ours = SippCalls(dir, "127.0.0.1:" + std::to_string(ourPort), kCalls, "ours");
  TSippCounts theirs = anchor.get();

  std::printf("sipp placed %d one-second calls, %d %% of the datagrams to and from the answerer lost:\n"
              "  quorvelle-cli completed %d, failed %d\n  baresip completed %d, failed %d\n",
              kCalls, kLossPercent, ours.Successful, ours.Failed, theirs.Successful, theirs.Failed);
  EXPECT_GE(ours.Successful * 100, kCalls * 98);
  // Nothing is left on our side: every line free (sipp ended every call it had).
  int busy = -1;
  for (int i = 0; i < 40 && busy != 0; ++i) {
    busy = BusyLines(cli);
    if (busy != 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_EQ(busy, 0) << cli.Out();
  cli.Write("quit\n");
  EXPECT_EQ(cli.Wait(20000), 0);
}

// One call placed by whoever `dial` drives; true when it was answered and
// ended by our hang-up a second later.
struct TCaller {
  virtual ~TCaller() = default;
  virtual bool Call() = 0;
};

// quorvelle-cli, driven through its standard input like a user at a console.
struct TCliCaller : TCaller {
  explicit TCliCaller(TChildProcess& cli) : cli(cli) {}
  bool Call() override {
    size_t from = cli.OutLines().size();
    cli.Write("call bob\n");
    // The first "answered" or "bye" after the call command (a "ringback" may come first).
    int at = -1;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    for (size_t next = from; at < 0;) {
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
      int i = left > 0 ? cli.WaitLine("event ", left, next) : -1;
      if (i < 0) break;
      const std::string line = cli.OutLines()[size_t(i)];
      if (line.rfind("event answered", 0) == 0 || line.rfind("event bye", 0) == 0) at = i;
      next = size_t(i) + 1;
    }
    if (at < 0 || cli.OutLines()[size_t(at)].rfind("event answered", 0) != 0) {
      cli.Write("hangup\n");
      cli.WaitLine("event bye", 10000, from);
      return Failed(from);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    cli.Write("hangup\n");
    int bye = cli.WaitLine("event bye", 10000, size_t(at));
    if (bye >= 0 && cli.OutLines()[size_t(bye)].find("status=200") != std::string::npos) return true;
    return Failed(from);
  }
  // What the console said about a call that did not complete, for the log.
  bool Failed(size_t from) {
    std::vector<std::string> lines = cli.OutLines();
    std::string said;
    for (size_t i = from; i < lines.size(); ++i) said += "  " + lines[i] + "\n";
    std::printf("a call did not complete; the console said:\n%s", said.c_str());
    return false;
  }
  TChildProcess& cli;
};

struct TBaresipCaller : TCaller {
  TBaresipCaller(TBaresip& baresip, std::string uri) : baresip(baresip), uri(std::move(uri)) {}
  bool Call() override {
    if (!baresip.Command("dial", uri)) return false;
    bool answered = baresip.WaitEvent("CALL_ESTABLISHED", 40000).has_value();
    if (answered) std::this_thread::sleep_for(std::chrono::seconds(1));
    baresip.Command("hangup");
    bool closed = baresip.WaitEvent("CALL_CLOSED", 10000).has_value();
    return answered && closed;
  }
  TBaresip& baresip;
  std::string uri;
};

// What sipp said about the calls it failed, and every message of those
// calls as sipp saw them, for the log of a run that missed some.
void PrintSippSideOfFailures(const std::string& name, const TSipp& sipp) {
  const std::string errors = sipp.Errors();
  std::printf("%s: sipp's errors:\n%s", name.c_str(), errors.c_str());
  const std::string messages = sipp.Messages();
  const std::string separator = "\n-----------------------------------------------";
  for (size_t at = errors.find("Call-Id '"); at != std::string::npos; at = errors.find("Call-Id '", at + 1)) {
    size_t end = errors.find('\'', at + 9);
    if (end == std::string::npos) break;
    const std::string callId = errors.substr(at + 9, end - at - 9);
    std::printf("%s: sipp's messages of call %s:\n", name.c_str(), callId.c_str());
    for (size_t from = 0; from < messages.size();) {
      size_t next = messages.find(separator, from + 1);
      std::string block = messages.substr(from, next == std::string::npos ? std::string::npos : next - from);
      if (block.find(callId) != std::string::npos) std::printf("%s\n", block.c_str());
      if (next == std::string::npos) break;
      from = next;
    }
  }
}

// `calls` calls from `caller` to a sipp answerer; ours and sipp's counts.
std::pair<int, TSippCounts> CallsToSipp(const TPeerDir& dir, int calls, const std::string& name,
                                        const std::function<std::unique_ptr<TCaller>(const TSipp&)>& make) {
  std::string stat = dir.File(name + "-stat.csv");
  TSippOptions o;
  o.Calls = calls;
  o.TimeoutSeconds = 400;
  o.Extra = {"-trace_stat", "-stf", stat, "-fd", "1", "-mp", std::to_string(FreeUdpPort())};
  TSipp sipp(dir, "uas_loss.xml", o);
  std::unique_ptr<TCaller> caller = make(sipp);
  int completed = 0;
  for (int i = 0; i < calls; ++i) completed += caller->Call() ? 1 : 0;
  int rc = sipp.Wait(60000);
  if (rc < 0) ADD_FAILURE() << name << ": sipp still waits\n" << sipp.Screen();
  TSippCounts counts = ReadSippCounts(stat);
  if (completed < calls || counts.Failed > 0) PrintSippSideOfFailures(name, sipp);
  return {completed, counts};
}

TEST(LossTest, CallsToSippThroughTenPercentLoss) {
  const int kCalls = 50;
  TPeerDir dir;
  int ourPort = FreeUdpPort();
  std::string wav = dir.File("tone.wav");
  WriteFile(wav, MakeWav(8000, 16, SampleBytes(MakeTone(440, 8000, 8000 * 5, 8000))));
  // baresip places its calls at the same time, to a sipp of its own.
  std::unique_ptr<TBaresip> baresip;
  auto anchor = std::async(std::launch::async, [&] {
    return CallsToSipp(dir, kCalls, "baresip", [&](const TSipp& sipp) -> std::unique_ptr<TCaller> {
      TBaresipOptions o;
      o.User = "carol";
      o.SourceWav = wav;
      baresip = std::make_unique<TBaresip>(dir, o);
      DropAtRandom(baresip->SipPort(), kLossPercent);
      return std::make_unique<TBaresipCaller>(*baresip, "sip:bob@" + sipp.Address());
    });
  });
  std::unique_ptr<TChildProcess> cli;
  auto [ours, oursAtSipp] = CallsToSipp(dir, kCalls, "ours", [&](const TSipp& sipp) -> std::unique_ptr<TCaller> {
    // --verbose: the datagrams it received go into the log of a call that fails.
    cli = std::make_unique<TChildProcess>(CliPath(), CliArgs(ourPort, sipp.Address(), {"--verbose"}), true);
    if (!WaitUdpPortBound(ourPort, 10000)) ADD_FAILURE() << cli->Err();
    DropAtRandom(ourPort, kLossPercent);
    return std::make_unique<TCliCaller>(*cli);
  });
  auto [theirs, theirsAtSipp] = anchor.get();

  std::printf("%d calls of one second placed to a sipp answerer, %d %% of the datagrams to and from the caller lost:\n"
              "  quorvelle-cli completed %d (sipp counts %d, failed %d)\n"
              "  baresip completed %d (sipp counts %d, failed %d)\n",
              kCalls, kLossPercent, ours, oursAtSipp.Successful, oursAtSipp.Failed, theirs,
              theirsAtSipp.Successful, theirsAtSipp.Failed);
  EXPECT_GE(ours * 100, kCalls * 98);
  EXPECT_GE(oursAtSipp.Successful * 100, kCalls * 98);
  EXPECT_EQ(BusyLines(*cli), 0) << cli->Out();
  cli->Write("quit\n");
  EXPECT_EQ(cli->Wait(20000), 0);
}

}  // namespace
}  // namespace qv::test
