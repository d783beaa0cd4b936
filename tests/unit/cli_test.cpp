// quorvelle-cli as a program: two instances on 127.0.0.1 calling each other
// directly (--no-register, each one's server is the other), driven by --exec
// and by standard input, judged by their event lines and exit status.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "support/cliprocess.h"
#include "support/netns.h"

namespace qv::test {
namespace {

constexpr int kLimitMs = 15000;

// The arguments of one instance named `user` on `port`, sending to `peerPort`.
std::vector<std::string> Phone(const std::string& user, int port, int peerPort, int rtpBase,
                               std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"--server",     "127.0.0.1:" + std::to_string(peerPort),
                                   "--user",       user,
                                   "--local-port", std::to_string(port),
                                   "--no-register", "--audio", "virtual",
                                   "--rtp-min",    std::to_string(rtpBase),
                                   "--rtp-max",    std::to_string(rtpBase + 40)};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

// Until a process prints its status it may not have its SIP port open yet,
// and a datagram sent before that is lost (nothing is retransmitted).
void WaitReady(TChildProcess& cli, bool viaStdin) {
  if (viaStdin) cli.Write("status\n");
  ASSERT_GE(cli.WaitLine("status account=", kLimitMs), 0) << cli.Err();
}

// The index of the n-th line (from 1) that starts with `prefix`; -1 on time-out.
int WaitNth(TChildProcess& cli, const std::string& prefix, int n) {
  int index = -1;
  for (int k = 0; k < n && (index = cli.WaitLine(prefix, kLimitMs, size_t(index + 1))) >= 0; ++k) {
  }
  return index;
}

struct TwoPorts {
  int a = FreeUdpPort();
  int b = FreeUdpPort();
};

// The instances are sanitizer builds in those presets; a report on a child's
// standard error fails the test even when the child was killed or its exit
// status was not looked at.
TEST(Cli, ChildSanitizerReportFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(
      {
        TChildProcess child("/bin/sh",
                            {"-c", "echo 'WARNING: ThreadSanitizer: data race' >&2; echo ready; exec sleep 30"});
        ASSERT_GE(child.WaitLine("ready", kLimitMs), 0);
      },
      "sanitizer report from child");
  TChildProcess quiet("/bin/sh", {"-c", "echo 'error plain' >&2"});
  EXPECT_EQ(quiet.Wait(kLimitMs), 0);
}

TEST(Cli, BadOptionsGiveOneErrorLineAndExitTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--server", "127.0.0.1"},
      {"--server", "127.0.0.1", "--user", "a", "--bogus"},
      {"--server", "127.0.0.1", "--user", "a", "--local-port", "99999"},
      {"--server", "127.0.0.1", "--user", "a", "--play-in", "/nonexistent/file.wav"},
      {"--server", "127.0.0.1", "--user", "a", "--play-in", "tone:loud"},
      {"--server", "127.0.0.1", "--user", "a", "--record-out", "/nonexistent/dir/out.wav"},
      {"--server", "127.0.0.1", "--user", "a", "--audio", "virtual", "--input-device", "99",
       "--play-in", "silence"},
  };
  for (const auto& args : bad) {
    TChildProcess cli(CliPath(), args);
    EXPECT_EQ(cli.Wait(kLimitMs), 2) << Joined(args);
    EXPECT_EQ(cli.Out(), "");
    std::vector<std::string> err = cli.ErrLines();
    ASSERT_EQ(err.size(), 1u) << cli.Err();
    EXPECT_EQ(err[0].rfind("error ", 0), 0u) << err[0];
  }
  TChildProcess help(CliPath(), {"--help"});
  EXPECT_EQ(help.Wait(kLimitMs), 0);
  EXPECT_NE(help.Out().find("--auto-answer[=SECONDS]"), std::string::npos);
}

// Every refusal at start names what failed and the option to change; names
// that do not resolve are refused before anything is sent, with or without
// registration. (In a network namespace of its own: the lookups must not
// leave the machine.)
TEST(Cli, StartErrorsSayWhatToChange) {
  ASSERT_TRUE(EnterPrivateNetwork());
  const std::vector<std::string> base = {"--user", "a", "--audio", "virtual", "--exec", "quit"};
  auto with = [&](std::vector<std::string> extra) {
    extra.insert(extra.end(), base.begin(), base.end());
    return extra;
  };
  const std::string dns = ", or this machine's name service)";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {with({"--server", "pbx.invalid", "--no-register"}),
       "error cannot resolve \"pbx.invalid\" (check the host name given to --server" + dns},
      {with({"--server", "pbx.invalid:5070"}),
       "error cannot resolve \"pbx.invalid\" (check the host name given to --server" + dns},
      {with({"--server", "127.0.0.1", "--proxy", "proxy.invalid"}),
       "error cannot resolve \"proxy.invalid\" (check the host name given to --proxy" + dns},
      {with({"--server", "127.0.0.1", "--stun", "stun.invalid:3478"}),
       "error cannot resolve \"stun.invalid\" (check the host name given to --stun" + dns},
      {with({"--server", "127.0.0.1", "--password-file", "/nonexistent/pw"}),
       "error cannot read --password-file \"/nonexistent/pw\" (No such file or directory; give a readable "
       "file whose first line is the password)"},
      {with({"--server", "127.0.0.1", "--password", "x", "--password-file", "pw"}),
       "error --password and --password-file both give the password: keep one"},
      {with({"--server", "127.0.0.1", "--play-in", "/nonexistent/in.wav"}),
       "error --play-in: Cannot read WAV file: /nonexistent/in.wav (cannot open); give a readable WAV file, "
       "tone:HZ or silence"},
      {with({"--server", "127.0.0.1", "--record-out", "/nonexistent/out.wav"}),
       "error --record-out: Cannot create WAV file: /nonexistent/out.wav; give a file in a folder that exists "
       "and may be written"},
      {with({"--server", "127.0.0.1", "--output-device", "8"}),
       "error --output-device 8: out of range (the virtual devices are -1 and 0 to 7)"},
  };
  for (const auto& [args, error] : cases) {
    TChildProcess cli(CliPath(), args);
    EXPECT_EQ(cli.Wait(kLimitMs), 2) << Joined(args);
    EXPECT_EQ(cli.Err(), error + "\n");
    EXPECT_EQ(cli.Out(), "");
  }
  TChildProcess version(CliPath(), {"--version"});
  EXPECT_EQ(version.Wait(kLimitMs), 0);
  EXPECT_EQ(version.Out(), "quorvelle-cli 0.9.3\n");
}

TEST(Cli, PortInUseExitsOne) {
  TwoPorts p;
  TChildProcess first(CliPath(), Phone("alice", p.a, p.b, FreeRtpBase()), true);
  WaitReady(first, true);
  TChildProcess second(CliPath(), Phone("bob", p.a, p.b, FreeRtpBase(), {"--exec", "status"}));
  EXPECT_EQ(second.Wait(kLimitMs), 1);
  EXPECT_EQ(second.Err(), "error cannot bind 0.0.0.0:" + std::to_string(p.a) + " (in use; choose another --local-port)\n");
  first.Kill(SIGTERM);
  EXPECT_EQ(first.Wait(kLimitMs), 0);  // a stop signal quits cleanly
}

TEST(Cli, CallHoldResumeAndHangUpBetweenTwoInstances) {
  TwoPorts p;
  TChildProcess bob(CliPath(), Phone("bob", p.b, p.a, FreeRtpBase(),
                                     {"--auto-answer", "--exec",
                                      "status; wait-event incoming 10; wait-event bye 10; status"}));
  WaitReady(bob, false);
  TChildProcess alice(CliPath(),
                      Phone("alice", p.a, p.b, FreeRtpBase(),
                            {"--exec",
                             "call bob; wait-event ringback 5; wait-event answered 5; status; hold; wait 0.3;"
                             "status; unhold; wait 0.3; status; hangup; wait-event bye 5; status"}));
  ASSERT_EQ(alice.Wait(kLimitMs), 0) << alice.Err();
  ASSERT_EQ(bob.Wait(kLimitMs), 0) << bob.Err();
  EXPECT_EQ(alice.Err(), "");
  EXPECT_EQ(bob.Err(), "");

  EXPECT_EQ(Matching(alice.OutLines(), "event"),
            (std::vector<std::string>{"event ringback line=1", "event answered line=1",
                                      "event bye line=1 status=200"}));
  EXPECT_EQ(Matching(alice.OutLines(), "status line=1"),
            (std::vector<std::string>{
                "status line=1 state=connected direction=out remote=bob current=yes",
                "status line=1 state=held direction=out remote=bob current=yes",
                "status line=1 state=connected direction=out remote=bob current=yes"}));
  EXPECT_EQ(Matching(bob.OutLines(), "event"),
            (std::vector<std::string>{"event incoming line=1 from=alice", "event answered line=1",
                                      "event bye line=1 status=200"}));
  // The line is free again, and nothing was registered.
  std::vector<std::string> status = Matching(bob.OutLines(), "status");
  ASSERT_EQ(status.size(), 2u);
  EXPECT_NE(status[1].find(" registration=unregistered "), std::string::npos);
  EXPECT_NE(status[1].find(" port=" + std::to_string(p.b) + " "), std::string::npos);
}

TEST(Cli, RejectCancelAndRedirectEndWithTheirStatus) {
  TwoPorts p;
  // bob is driven through standard input, one command at a time.
  TChildProcess bob(CliPath(), Phone("bob", p.b, p.a, FreeRtpBase()), true);
  TChildProcess alice(CliPath(), Phone("alice", p.a, p.b, FreeRtpBase()), true);
  WaitReady(bob, true);
  WaitReady(alice, true);

  alice.Write("call bob\n");
  ASSERT_GE(WaitNth(bob, "event incoming line=1 from=alice", 1), 0);
  bob.Write("reject\n");
  ASSERT_GE(bob.WaitLine("event bye line=1 status=486", kLimitMs), 0);
  ASSERT_GE(alice.WaitLine("event bye line=1 status=486", kLimitMs), 0);

  alice.Write("call bob\n");
  ASSERT_GE(WaitNth(bob, "event incoming line=1", 2), 0);
  ASSERT_GE(WaitNth(alice, "event ringback", 2), 0);
  alice.Write("hangup\n");  // CANCEL
  ASSERT_GE(bob.WaitLine("event bye line=1 status=487", kLimitMs), 0);
  ASSERT_GE(alice.WaitLine("event bye line=1 status=487", kLimitMs), 0);

  alice.Write("call bob\n");
  ASSERT_GE(WaitNth(bob, "event incoming line=1", 3), 0);
  bob.Write("transfer carol\n");  // a ringing call is redirected
  ASSERT_GE(bob.WaitLine("event bye line=1 status=302", kLimitMs), 0) << bob.Err();
  ASSERT_GE(alice.WaitLine("event bye line=1 status=302", kLimitMs), 0);

  bob.Write("quit\n");
  alice.CloseStdin();  // the end of input quits too
  EXPECT_EQ(bob.Wait(kLimitMs), 0);
  EXPECT_EQ(alice.Wait(kLimitMs), 0);
  EXPECT_EQ(bob.Err(), "");
  EXPECT_EQ(alice.Err(), "");
}

TEST(Cli, SixLinesTakenLowestFirstAndTheSeventhCallIsBusy) {
  TwoPorts p;
  TChildProcess bob(CliPath(), Phone("bob", p.b, p.a, FreeRtpBase()), true);
  TChildProcess alice(CliPath(), Phone("alice", p.a, p.b, FreeRtpBase(), {"--lines", "7"}), true);
  WaitReady(bob, true);
  std::string script;
  for (int line = 1; line <= 6; ++line)
    script += "line " + std::to_string(line) + "\ncall bob\nwait-event ringback 5\n";
  // The seventh never rings: it is turned away at once.
  alice.Write(script + "line 7\ncall bob\n");
  ASSERT_GE(alice.WaitLine("event bye line=7 status=486", kLimitMs), 0) << alice.Err();

  bob.Write("status\n");
  ASSERT_GE(bob.WaitLine("status line=6", kLimitMs), 0);
  std::vector<std::string> incoming = Matching(bob.OutLines(), "event incoming");
  ASSERT_EQ(incoming.size(), 6u);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(incoming[size_t(i)], "event incoming line=" + std::to_string(i + 1) + " from=alice");
  EXPECT_EQ(Matching(bob.OutLines(), "status line=").size(), 6u);
  EXPECT_EQ(Matching(bob.OutLines(), "status line=1 ")[0],
            "status line=1 state=ringing direction=in remote=alice current=yes");

  // Hanging up a ringing call rejects it; "answer" on a free current line
  // takes the lowest ringing line and makes it current.
  bob.Write("line 3\nhangup\nanswer\nstatus\n");
  ASSERT_GE(bob.WaitLine("event answered line=1", kLimitMs), 0);
  int current = bob.WaitLine("status account=", kLimitMs, 14);
  ASSERT_GE(current, 0);
  EXPECT_NE(bob.OutLines()[size_t(current)].find(" line=1 "), std::string::npos);
  ASSERT_GE(alice.WaitLine("event bye line=3 status=486", kLimitMs), 0);
  ASSERT_GE(alice.WaitLine("event answered line=1", kLimitMs), 0);

  EXPECT_EQ(Matching(bob.OutLines(), "event bye"), (std::vector<std::string>{"event bye line=3 status=486"}));

  // Quitting refuses the calls still ringing, so they do not ring on at the peer.
  bob.CloseStdin();
  EXPECT_EQ(bob.Wait(kLimitMs), 0);
  for (int line : {2, 4, 5, 6})
    EXPECT_GE(alice.WaitLine("event bye line=" + std::to_string(line) + " status=486", kLimitMs), 0) << line;
  alice.CloseStdin();
  EXPECT_EQ(alice.Wait(kLimitMs), 0);
}

TEST(Cli, WaitEventTimesOutWithExitStatusOne) {
  TwoPorts p;
  TChildProcess cli(CliPath(), Phone("alice", p.a, p.b, FreeRtpBase(), {"--exec", "wait-event incoming 0.2; status"}));
  EXPECT_EQ(cli.Wait(kLimitMs), 1);
  EXPECT_EQ(cli.Err(), "error timed out waiting for event incoming\n");
  EXPECT_EQ(cli.Out(), "");  // the script stopped there
}

TEST(Cli, CommandErrorsAreReportedAndTheProgramGoesOn) {
  TwoPorts p;
  TChildProcess cli(CliPath(), Phone("alice", p.a, p.b, FreeRtpBase()), true);
  cli.Write("bogus\nline 9\nhangup\nanswer\nhold\ndtmf 1\nrecord stop x.wav\nconference off\n"
            "conference on\nplay x.wav\ncall <bob>\nstatus\n");
  cli.CloseStdin();
  EXPECT_EQ(cli.Wait(kLimitMs), 0);
  EXPECT_EQ(Matching(cli.OutLines(), "status account=alice@127.0.0.1").size(), 1u);
  std::vector<std::string> errors = cli.ErrLines();
  EXPECT_EQ(errors, (std::vector<std::string>{
                        "error unknown command \"bogus\"",
                        "error line wants a number from 1 to 6",
                        "error hangup: no call on line 1",
                        "error answer: no call is ringing",
                        "error hold: no call on line 1",
                        "error dtmf: no call on line 1",
                        "error record: not recording",
                        "error conference: not on",
                        "error conference: needs two connected calls",
                        "error play: no call on line 1",
                        "error call: not a SIP user or address: <bob>",
                    }));
}

TEST(Cli, HostileInputNeverCrashes) {
  TwoPorts p;
  TChildProcess cli(CliPath(), Phone("alice", p.a, p.b, FreeRtpBase()), true);
  std::mt19937 random(11);
  std::string junk;
  for (int i = 0; i < 200000; ++i) junk += char(random() % 8 == 0 ? '\n' : random() % 256);
  junk += std::string(100000, 'x') + "\n";  // one very long line
  junk += "\ncall bob\x00\x01\nstatus\n";
  cli.Write(junk);
  cli.CloseStdin();
  EXPECT_EQ(cli.Wait(kLimitMs), 0);
  for (const std::string& line : cli.ErrLines()) EXPECT_EQ(line.rfind("error ", 0), 0u);
  for (const std::string& line : cli.OutLines()) EXPECT_EQ(line.rfind("status ", 0), 0u);
}

TEST(Cli, VerbosePrintsEveryReceivedDatagramOnOneLine) {
  TwoPorts p;
  TChildProcess bob(CliPath(), Phone("bob", p.b, p.a, FreeRtpBase(),
                                     {"--verbose", "--exec", "status; wait-event incoming 5; reject"}));
  WaitReady(bob, false);
  TChildProcess alice(CliPath(), Phone("alice", p.a, p.b, FreeRtpBase(), {"--verbose", "--exec", "call bob; wait-event bye 5"}));
  ASSERT_EQ(alice.Wait(kLimitMs), 0);
  ASSERT_EQ(bob.Wait(kLimitMs), 0);
  std::vector<std::string> logs = Matching(bob.OutLines(), "log ");
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(logs[0].rfind("log INVITE sip:bob@127.0.0.1 SIP/2.0\\r\\n", 0), 0u) << logs[0];
  std::vector<std::string> aliceLogs = Matching(alice.OutLines(), "log SIP/2.0 ");
  EXPECT_GE(aliceLogs.size(), 3u);  // 100, 180, 486
}

}  // namespace
}  // namespace qv::test
