// The command line of quorvelle-cli: what it understands, its defaults and
// the --help text. Parsing is pure (no side effects), so that it can be tested
// in process.
#pragma once

#include "platform/errors.h"
#include <string>
#include <vector>

#include "component/sipclient.h"

namespace qv::cli {

// A bad command line: one line of text for "error TEXT", exit status 2.
class TUsageError : public Exception {
public:
  using Exception::Exception;
};

struct TCliOptions {
  std::string Server;  // HOST[:PORT]
  std::string User;
  std::string Password;      // --password (the password itself, after ResolvePassword)
  bool PasswordGiven = false;
  std::string PasswordFile;  // --password-file
  std::string Proxy;
  std::string Stun;
  int LocalPort = 5075;
  int RtpMin = 20000;
  int RtpMax = 24000;
  TDtmfMethod DtmfMethod = dtmfRFC2833;
  bool Wideband = false;  // --wideband on: Opus and G.722 offered first
  std::string Audio;  // "", "portaudio", "virtual" or "auto"
  int InputDevice = -1;
  int OutputDevice = -1;
  std::string PlayIn;     // virtual capture source: FILE.wav, tone:HZ or silence
  std::string RecordOut;  // virtual playback sink file
  bool EchoCancellation = true;  // --aec on|off
  bool KeepAlive = true;         // --keep-alive on|off
  bool AutoAnswer = false;
  double AutoAnswerSeconds = 0;
  bool NoRegister = false;
  TSipTransport Transport = TSipTransport::Udp;
  TSrtpMode Srtp = TSrtpMode::Off;
  std::string CaFile;
  bool SrtpKeysWithoutTls = false;
  // Any of the four above differs from its default: the status lines say
  // how secure each call is.
  bool SecurityAsked() const {
    return Transport != TSipTransport::Udp || Srtp != TSrtpMode::Off || !CaFile.empty() || SrtpKeysWithoutTls;
  }
  bool HasExec = false;
  std::string Exec;
  bool Verbose = false;
  int Lines = 6;            // also the engine's MaxCalls
  int InviteRate = 10;      // new INVITEs taken per source address and second (0: no limit)
  std::string Realms;       // realms besides the server's own that get our password
  bool Help = false;
  bool Version = false;
};

// Raises TUsageError. With --help or --version, that is set and nothing
// else is checked.
TCliOptions ParseOptions(const std::vector<std::string>& args);

// Where the password comes from, first found: --password, the first line of
// --password-file, the environment variable QUORVELLE_PASSWORD (`env`, null
// when unset); none of them: no password. Raises TUsageError when the file
// cannot be read.
void ResolvePassword(TCliOptions& options, const char* env);

// What the program prints for --version.
std::string VersionText();

std::string UsageText();

}  // namespace qv::cli
