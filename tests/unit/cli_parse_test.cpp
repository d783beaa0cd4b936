// The console tool's command line and command language, in process: what is
// accepted, what is refused with which one-line error, and that nothing
// crashes on hostile text.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"

namespace qv::cli {
namespace {

std::string UsageErrorOf(const std::vector<std::string>& args) {
  try {
    ParseOptions(args);
  } catch (const TUsageError& e) {
    return e.what();
  }
  return "";
}

std::string CommandErrorOf(const std::string& line) {
  try {
    ParseCommand(line, 6);
  } catch (const TCommandError& e) {
    return e.what();
  }
  return "";
}

const std::vector<std::string> kAccount = {"--server", "127.0.0.1:5070", "--user", "alice"};

std::vector<std::string> With(std::vector<std::string> extra) {
  std::vector<std::string> args = kAccount;
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(CliOptions, DefaultsAndEveryOption) {
  TCliOptions d = ParseOptions(kAccount);
  EXPECT_EQ(d.LocalPort, 5075);
  EXPECT_EQ(d.RtpMin, 20000);
  EXPECT_EQ(d.RtpMax, 24000);
  EXPECT_EQ(d.DtmfMethod, dtmfRFC2833);
  EXPECT_EQ(d.Lines, 6);
  EXPECT_EQ(d.InputDevice, -1);
  EXPECT_TRUE(d.EchoCancellation);
  EXPECT_FALSE(d.AutoAnswer || d.NoRegister || d.Verbose || d.HasExec);

  TCliOptions o = ParseOptions(With({"--password", "pw", "--proxy=proxy.test", "--stun", "stun.test:3478",
                                     "--local-port", "0", "--rtp-min", "30000", "--rtp-max=30010",
                                     "--dtmf-method", "info", "--input-device", "2", "--output-device=3",
                                     "--play-in", "tone:440", "--record-out", "out.wav", "--auto-answer=1.5",
                                     "--no-register", "--exec", "status; quit", "--verbose", "--lines", "7",
                                     "--invite-rate", "0", "--realms", "a.example, b.example"}));
  EXPECT_EQ(o.Password, "pw");
  EXPECT_EQ(o.Proxy, "proxy.test");
  EXPECT_EQ(o.Stun, "stun.test:3478");
  EXPECT_EQ(o.LocalPort, 0);
  EXPECT_EQ(o.RtpMin, 30000);
  EXPECT_EQ(o.RtpMax, 30010);
  EXPECT_EQ(o.DtmfMethod, dtmfSipInfo);
  EXPECT_EQ(o.InputDevice, 2);
  EXPECT_EQ(o.OutputDevice, 3);
  EXPECT_EQ(o.PlayIn, "tone:440");
  EXPECT_EQ(o.RecordOut, "out.wav");
  EXPECT_EQ(o.Audio, "virtual");  // implied by the virtual sources and sinks
  EXPECT_TRUE(o.AutoAnswer);
  EXPECT_DOUBLE_EQ(o.AutoAnswerSeconds, 1.5);
  EXPECT_TRUE(o.NoRegister && o.Verbose && o.HasExec);
  EXPECT_EQ(o.Exec, "status; quit");
  EXPECT_EQ(o.Lines, 7);
  EXPECT_EQ(o.InviteRate, 0);
  EXPECT_EQ(d.InviteRate, 10);
  EXPECT_EQ(o.Realms, "a.example, b.example");
  EXPECT_EQ(ParseOptions(With({"--dtmf-method=inband"})).DtmfMethod, dtmfInBand);
  EXPECT_FALSE(ParseOptions(With({"--aec", "off"})).EchoCancellation);
  EXPECT_TRUE(ParseOptions(With({})).KeepAlive);
  EXPECT_FALSE(ParseOptions(With({"--keep-alive", "off"})).KeepAlive);
  EXPECT_THROW(ParseOptions(With({"--keep-alive", "no"})), TUsageError);
  EXPECT_TRUE(ParseOptions(With({"--aec=off", "--aec=on"})).EchoCancellation);
  EXPECT_FALSE(ParseOptions(With({"--play-in", "tone:440"})).EchoCancellation);  // no room around a tone
  EXPECT_TRUE(ParseOptions(With({"--play-in", "tone:440", "--aec", "on"})).EchoCancellation);
  EXPECT_TRUE(ParseOptions(With({"--auto-answer"})).AutoAnswer);
  EXPECT_TRUE(ParseOptions({"--help", "--bogus"}).Help);  // help wins before anything is checked
}

TEST(CliOptions, BadCommandLinesAreRefusedWithOneLine) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--user", "alice"},
      {"--server", "127.0.0.1"},
      With({"--bogus"}),
      With({"positional"}),
      With({"--local-port"}),
      With({"--local-port", "70000"}),
      With({"--local-port", "12x"}),
      With({"--local-port", ""}),
      With({"--rtp-min", "30000"}),  // above the default maximum
      With({"--rtp-min", "30000", "--rtp-max", "30002"}),
      With({"--dtmf-method", "morse"}),
      With({"--audio", "alsa"}),
      With({"--aec", "yes"}),
      With({"--aec"}),
      With({"--audio", "portaudio", "--play-in", "silence"}),
      With({"--input-device", "-2"}),
      With({"--auto-answer=soon"}),
      With({"--auto-answer=-1"}),
      With({"--auto-answer=nan"}),
      With({"--verbose=yes"}),
      With({"--lines", "0"}),
      With({"--invite-rate", "-1"}),
      {"--server", "127.0.0.1:0", "--user", "alice"},
      {"--server", "bad host", "--user", "alice"},
      {"--server", "127.0.0.1", "--user", "ali ce"},
      {"--server", "127.0.0.1", "--user", "a\"b"},
      {"--server", "127.0.0.1", "--user", std::string("a\r\nb")},
  };
  for (const auto& args : bad) {
    std::string error = UsageErrorOf(args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_FALSE(error.empty()) << shown;
    EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos) << shown;
  }
  EXPECT_EQ(UsageErrorOf(With({"--bogus"})), "unknown option \"--bogus\" (see --help)");
  EXPECT_EQ(UsageErrorOf({"--user", "alice"}), "--server is required");
}

TEST(CliOptions, HelpDocumentsEveryOptionAndCommand) {
  std::string help = UsageText();
  for (const char* word :
       {"--server", "--user", "--password", "--proxy", "--stun", "--local-port", "--rtp-min", "--rtp-max",
        "--dtmf-method", "--audio", "--input-device", "--output-device", "--aec on|off", "--play-in",
        "--record-out", "--auto-answer", "--no-register", "--exec", "--verbose", "--lines", "--help", "register",
        "unregister", "call TARGET", "answer", "reject", "hangup", "hold", "unhold", "transfer TARGET",
        "dtmf DIGITS", "line N", "play FILE", "say TEXT", "record start", "record stop FILE",
        "conference on|off", "message USER TEXT", "wait SECONDS", "wait-event NAME", "status", "quit"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  for (const std::string& name : EventNames()) EXPECT_NE(help.find("event " + name), std::string::npos) << name;
}

TEST(CliCommands, EveryCommandParses) {
  EXPECT_EQ(ParseCommand("", 6).Verb, TVerb::None);
  EXPECT_EQ(ParseCommand("   # a comment", 6).Verb, TVerb::None);
  EXPECT_EQ(ParseCommand("register", 6).Verb, TVerb::Register);
  EXPECT_EQ(ParseCommand("  unregister\r", 6).Verb, TVerb::Unregister);
  TCommand call = ParseCommand("call sip:bob@127.0.0.1:5070", 6);
  EXPECT_EQ(call.Verb, TVerb::Call);
  EXPECT_EQ(call.Target, "bob@127.0.0.1:5070");  // the engine adds "sip:" itself
  EXPECT_EQ(ParseCommand("call *97#", 6).Target, "*97#");
  EXPECT_EQ(ParseCommand("transfer carol", 6).Verb, TVerb::Transfer);
  TCommand dtmf = ParseCommand("dtmf 12*#abcD", 6);
  EXPECT_EQ(dtmf.Verb, TVerb::Dtmf);
  EXPECT_EQ(dtmf.Text, "12*#ABCD");
  EXPECT_EQ(ParseCommand("line 6", 6).Line, 6);
  EXPECT_EQ(ParseCommand("play /tmp/a file.wav", 6).Text, "/tmp/a file.wav");
  EXPECT_EQ(ParseCommand("say hola mundo", 6).Text, "hola mundo");
  EXPECT_EQ(ParseCommand("record start", 6).Verb, TVerb::RecordStart);
  TCommand stop = ParseCommand("record stop /tmp/call.wav", 6);
  EXPECT_EQ(stop.Verb, TVerb::RecordStop);
  EXPECT_EQ(stop.Text, "/tmp/call.wav");
  EXPECT_EQ(ParseCommand("conference on", 6).Verb, TVerb::ConferenceOn);
  EXPECT_EQ(ParseCommand("conference off", 6).Verb, TVerb::ConferenceOff);
  TCommand message = ParseCommand("message bob hola, que tal", 6);
  EXPECT_EQ(message.Target, "bob");
  EXPECT_EQ(message.Text, "hola, que tal");
  EXPECT_DOUBLE_EQ(ParseCommand("wait 0.25", 6).Seconds, 0.25);
  TCommand waitEvent = ParseCommand("wait-event dtmf 2", 6);
  EXPECT_EQ(waitEvent.Target, "dtmf");
  EXPECT_DOUBLE_EQ(waitEvent.Seconds, 2);
  EXPECT_DOUBLE_EQ(ParseCommand("wait-event bye", 6).Seconds, 30);
  EXPECT_EQ(ParseCommand("status", 6).Verb, TVerb::Status);
  EXPECT_EQ(ParseCommand("quit", 6).Verb, TVerb::Quit);
}

TEST(CliCommands, BadCommandsAreRefused) {
  EXPECT_EQ(CommandErrorOf("dial 123"), "unknown command \"dial\"");
  EXPECT_EQ(CommandErrorOf("line 7"), "line wants a number from 1 to 6");
  EXPECT_EQ(ParseCommand("line 7", 7).Line, 7);  // with --lines 7
  for (const char* bad : {"call", "call bob smith", "call <sip:bob>", "call a\"b", "transfer", "dtmf",
                          "dtmf 12x", "dtmf E", "line", "line 0", "line x", "line 1.5", "play", "say",
                          "record", "record stop", "record start now", "record pause", "conference",
                          "conference maybe", "message bob", "message", "wait", "wait -1", "wait 1e3",
                          "wait inf", "wait 0x10", "wait-event", "wait-event nothing", "wait-event bye soon",
                          "answer now", "hangup 1", "quit now", "status all"})
    EXPECT_FALSE(CommandErrorOf(bad).empty()) << bad;
  EXPECT_EQ(CommandErrorOf(std::string("call bob\x01")).find("control characters"), 0u);
  EXPECT_EQ(CommandErrorOf(std::string(kMaxCommandLength + 1, 'x')), "command too long");
}

TEST(CliCommands, ScriptsSplitOnSemicolonsAndLines) {
  EXPECT_EQ(SplitScript(" call bob ;wait 1;; \n hangup;"),
            (std::vector<std::string>{"call bob", "wait 1", "hangup"}));
  EXPECT_TRUE(SplitScript(" ; ;\n").empty());
}

TEST(CliCommands, EscapedValuesStayOnOneLine) {
  EXPECT_EQ(Printable("a b\r\n\\\x01\xff"), "a b\\r\\n\\\\\\x01\\xFF");
  EXPECT_EQ(Printable("a b", true), "a\\x20b");
}

TEST(CliCommands, HostileTextNeverCrashesAndErrorsStayOnOneLine) {
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::string line(size_t(random() % 80), '\0');
    for (char& c : line) c = char(random() % 4 == 0 ? "call dtmf line wait-event record message "[random() % 41]
                                                    : int(random() % 256));
    std::string error = CommandErrorOf(line);
    EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos);
  }
}

// The password from the command line, a file or the environment, in that
// order; a file's line end is not part of it.
TEST(CliOptions, PasswordSources) {
  char path[] = "/tmp/qv-pw-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "s3 cret\r\nsecond line\n", 21), 21);
  close(fd);

  TCliOptions fromFile = ParseOptions(With({"--password-file", path}));
  ResolvePassword(fromFile, "from-env");
  EXPECT_EQ(fromFile.Password, "s3 cret");
  TCliOptions fromOption = ParseOptions(With({"--password", ""}));
  ResolvePassword(fromOption, "from-env");
  EXPECT_EQ(fromOption.Password, "") << "an empty --password is still the one given";
  TCliOptions fromEnv = ParseOptions(kAccount);
  ResolvePassword(fromEnv, "from-env");
  EXPECT_EQ(fromEnv.Password, "from-env");
  TCliOptions none = ParseOptions(kAccount);
  ResolvePassword(none, nullptr);
  EXPECT_EQ(none.Password, "");
  unlink(path);
  TCliOptions gone = ParseOptions(With({"--password-file", path}));
  EXPECT_THROW(ResolvePassword(gone, "from-env"), TUsageError);
  EXPECT_TRUE(ParseOptions({"--version"}).Version);
  EXPECT_NE(UsageText().find("--password-file FILE"), std::string::npos);
}

}  // namespace
}  // namespace qv::cli
