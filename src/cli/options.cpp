#include "cli/options.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "cli/commands.h"
#include "platform/textutil.h"
#include "sip/iputils.h"

namespace qv::cli {

namespace {

int ParseInt(const std::string& option, const std::string& text, int lo, int hi) {
  int value = 0;
  if (!qv::ParseInt(text, value) || value < lo || value > hi)
    throw TUsageError(option + " wants a whole number from " + std::to_string(lo) + " to " +
                      std::to_string(hi) + ", not \"" + Printable(text) + "\"");
  return int(value);
}

TDtmfMethod ParseDtmfMethod(const std::string& text) {
  if (text == "inband") return dtmfInBand;
  if (text == "rfc2833") return dtmfRFC2833;
  if (text == "info") return dtmfSipInfo;
  throw TUsageError("--dtmf-method wants inband, rfc2833 or info, not \"" + Printable(text) + "\"");
}

// HOST or HOST:PORT, as AddAccount splits it (HOST may be [IPv6]).
void CheckServer(const std::string& text) {
  size_t colon = PortColon(text);
  std::string host = text.substr(0, colon);
  if (host.empty() || !IsUriText(host))
    throw TUsageError("--server wants HOST[:PORT], not \"" + Printable(text) + "\"");
  if (colon != std::string::npos) ParseInt("the port of --server", text.substr(colon + 1), 1, 65535);
}

void CheckName(const std::string& option, const std::string& text) {
  if (text.empty() || !IsUriText(text))
    throw TUsageError(option + " wants a name without blanks or quotes, not \"" + Printable(text) + "\"");
}

TSipTransport ParseTransport(const std::string& text) {
  if (text == "udp") return TSipTransport::Udp;
  if (text == "tcp") return TSipTransport::Tcp;
  if (text == "tls") return TSipTransport::Tls;
  throw TUsageError("--transport wants udp, tcp or tls, not \"" + Printable(text) + "\"");
}

TSrtpMode ParseSrtp(const std::string& text) {
  if (text == "off") return TSrtpMode::Off;
  if (text == "optional") return TSrtpMode::Optional;
  if (text == "mandatory") return TSrtpMode::Mandatory;
  throw TUsageError("--srtp wants off, optional or mandatory, not \"" + Printable(text) + "\"");
}

}  // namespace

TCliOptions ParseOptions(const std::vector<std::string>& args) {
  TCliOptions o;
  bool rtpMinSet = false, rtpMaxSet = false;
  bool aecGiven = false;
  using Setter = std::function<void(const std::string&)>;
  // Options that take a value, as "--name VALUE" or "--name=VALUE".
  const std::map<std::string, Setter> valued = {
      {"--server", [&](const std::string& v) { o.Server = v; }},
      {"--user", [&](const std::string& v) { o.User = v; }},
      {"--password", [&](const std::string& v) { o.Password = v; o.PasswordGiven = true; }},
      {"--password-file", [&](const std::string& v) { o.PasswordFile = v; }},
      {"--proxy", [&](const std::string& v) { o.Proxy = v; }},
      {"--stun", [&](const std::string& v) { o.Stun = v; }},
      {"--local-port", [&](const std::string& v) { o.LocalPort = ParseInt("--local-port", v, 0, 65535); }},
      {"--rtp-min", [&](const std::string& v) { o.RtpMin = ParseInt("--rtp-min", v, 1024, 65534); rtpMinSet = true; }},
      {"--rtp-max", [&](const std::string& v) { o.RtpMax = ParseInt("--rtp-max", v, 1024, 65534); rtpMaxSet = true; }},
      {"--dtmf-method", [&](const std::string& v) { o.DtmfMethod = ParseDtmfMethod(v); }},
      {"--wideband", [&](const std::string& v) {
         if (v != "on" && v != "off") throw TUsageError("--wideband wants on or off, not \"" + Printable(v) + "\"");
         o.Wideband = v == "on";
       }},
      {"--audio", [&](const std::string& v) {
         if (v != "portaudio" && v != "virtual" && v != "auto")
           throw TUsageError("--audio wants portaudio or virtual, not \"" + Printable(v) + "\"");
         o.Audio = v;
       }},
      {"--keep-alive", [&](const std::string& v) {
         if (v != "on" && v != "off") throw TUsageError("--keep-alive wants on or off, not \"" + Printable(v) + "\"");
         o.KeepAlive = v == "on";
       }},
      {"--aec", [&](const std::string& v) {
         if (v != "on" && v != "off") throw TUsageError("--aec wants on or off, not \"" + Printable(v) + "\"");
         o.EchoCancellation = v == "on";
         aecGiven = true;
       }},
      {"--input-device", [&](const std::string& v) { o.InputDevice = ParseInt("--input-device", v, -1, 255); }},
      {"--output-device", [&](const std::string& v) { o.OutputDevice = ParseInt("--output-device", v, -1, 255); }},
      {"--play-in", [&](const std::string& v) { o.PlayIn = v; }},
      {"--record-out", [&](const std::string& v) { o.RecordOut = v; }},
      {"--exec", [&](const std::string& v) { o.Exec = v; o.HasExec = true; }},
      {"--lines", [&](const std::string& v) { o.Lines = ParseInt("--lines", v, 1, 4096); }},
      {"--transport", [&](const std::string& v) { o.Transport = ParseTransport(v); }},
      {"--srtp", [&](const std::string& v) { o.Srtp = ParseSrtp(v); }},
      {"--ca-file", [&](const std::string& v) {
         if (v.empty()) throw TUsageError("--ca-file wants a file name");
         o.CaFile = v;
       }},
      {"--invite-rate", [&](const std::string& v) { o.InviteRate = ParseInt("--invite-rate", v, 0, 1000000); }},
      {"--realms", [&](const std::string& v) { o.Realms = v; }},
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      o.Help = true;
      return o;
    }
    if (arg == "--version") {
      o.Version = true;
      return o;
    }
    size_t eq = arg.find('=');
    std::string name = arg.substr(0, eq);
    if (name == "--verbose" || name == "--no-register" || name == "--srtp-keys-without-tls") {
      if (eq != std::string::npos) throw TUsageError(name + " takes no value");
      (name == "--verbose" ? o.Verbose : name == "--no-register" ? o.NoRegister : o.SrtpKeysWithoutTls) = true;
      continue;
    }
    if (name == "--auto-answer") {
      o.AutoAnswer = true;
      if (eq == std::string::npos) continue;
      try {
        o.AutoAnswerSeconds = ParseSeconds("--auto-answer", arg.substr(eq + 1));
      } catch (const TCommandError& e) {
        throw TUsageError(e.what());
      }
      continue;
    }
    auto it = valued.find(name);
    if (it == valued.end())
      throw TUsageError("unknown option \"" + Printable(arg) + "\" (see --help)");
    if (eq != std::string::npos) {
      it->second(arg.substr(eq + 1));
    } else {
      if (i + 1 >= args.size()) throw TUsageError(name + " wants a value");
      it->second(args[++i]);
    }
  }
  if (o.PasswordGiven && !o.PasswordFile.empty())
    throw TUsageError("--password and --password-file both give the password: keep one");
  if (o.Server.empty()) throw TUsageError("--server is required");
  CheckServer(o.Server);
  if (o.User.empty()) throw TUsageError("--user is required");
  CheckName("--user", o.User);
  if (!o.Proxy.empty()) CheckName("--proxy", o.Proxy);
  if (!o.Stun.empty()) CheckServer(o.Stun);
  if (rtpMinSet != rtpMaxSet && o.RtpMin >= o.RtpMax)
    throw TUsageError(std::string(rtpMinSet ? "--rtp-min" : "--rtp-max") +
                      " leaves no room: give both --rtp-min and --rtp-max");
  if (o.RtpMax - o.RtpMin < 4)
    throw TUsageError("--rtp-max must be at least --rtp-min + 4");
  bool wantsVirtual = !o.PlayIn.empty() || !o.RecordOut.empty();
  if (wantsVirtual && (o.Audio == "portaudio" || o.Audio == "auto"))
    throw TUsageError("--play-in and --record-out need --audio virtual");
  if (wantsVirtual) o.Audio = "virtual";
  // A microphone fed a file or a tone is in no room: there is no echo to
  // cancel, and the noise suppressor would take a steady tone for noise.
  if (!o.PlayIn.empty() && !aecGiven) o.EchoCancellation = false;
  return o;
}

void ResolvePassword(TCliOptions& o, const char* env) {
  if (o.PasswordGiven) return;
  if (!o.PasswordFile.empty()) {
    std::ifstream in(o.PasswordFile, std::ios::binary);
    if (!in) {
      int error = errno;
      throw TUsageError("cannot read --password-file \"" + Printable(o.PasswordFile) + "\" (" +
                        std::strerror(error) + "; give a readable file whose first line is the password)");
    }
    // The first line, without its line end: what an editor or `echo` leaves.
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    o.Password = line;
    return;
  }
  if (env) o.Password = env;
}

std::string VersionText() { return std::string("quorvelle-cli ") + QV_VERSION + "\n"; }

std::string UsageText() {
  return R"(Usage: quorvelle-cli --server HOST[:PORT] --user NAME [options]

A console softphone. Commands come one per line on standard input (or from
--exec); events come one per line on standard output; errors go to standard
error as "error TEXT".

Account:
  --server HOST[:PORT]   registrar, proxy or peer to send to (port 5060 by default)
  --user NAME            user name of the account
  --password PW          password for Digest authentication (default: none);
                         every user of the machine can read a command line,
                         so prefer one of these two:
  --password-file FILE   the password is the first line of FILE
                         (QUORVELLE_PASSWORD in the environment also gives it)
  --proxy HOST           send everything to this host instead of the server's
  --stun HOST[:PORT]     learn the public address from this STUN server first
  --no-register          do not register: prepare the account (server resolved,
                         local address and SIP port set) and call the server
                         directly, as with a peer that has no registrar
                         (DTMF by SIP INFO is then not taken: only a
                         registered account takes it)
Network:
  --local-port N         UDP port for SIP (default 5075; 0 lets the system choose)
  --transport T          udp (default), tcp or tls: how SIP reaches the server
  --ca-file FILE         PEM certificates trusted for TLS besides the system's
                         (a private PBX's CA, or its own certificate)
  --rtp-min N --rtp-max N
                         RTP port range (default 20000 to 24000); two instances
                         on one machine need ranges that do not overlap
Calls:
  --dtmf-method M        inband, rfc2833 (default) or info
  --srtp M               off (default), optional (SRTP offered, plain RTP taken
                         from a peer without it) or mandatory (a call without
                         SRTP is refused: event bye ... status=488)
  --srtp-keys-without-tls
                         send SRTP keys over udp or tcp too, where anyone on
                         the path reads them (by default only over tls)
  --keep-alive on|off    while registered over UDP, an empty line to the server
                         every 25 s holds the NAT's binding (default on)
  --wideband on|off      on: offer Opus, then G.722, before G.711, GSM and Speex
                         (calls that take them run at 16000 Hz); off (default):
                         the narrowband codecs only
  --auto-answer[=SECONDS]
                         answer incoming calls, after SECONDS (default at once)
  --lines N              number of lines (default 6); an incoming call takes the
                         lowest free line, one more than that is rejected busy
                         (and no more calls than lines are kept at all)
  --invite-rate N        new incoming INVITEs taken from one address per second
                         (default 10, 0 = no limit); more are answered 503
  --realms LIST          realms, besides the server's own and the domain, whose
                         401/407 challenges get our password (comma separated)
Audio:
  --audio B              portaudio (sound cards) or virtual (no sound card);
                         default: portaudio when it finds a device, else virtual
  --input-device N       capture device number (default -1, the default device)
  --output-device N      playback device number (default -1)
  --aec on|off           echo cancellation and noise suppression of the
                         microphone (default on; off with --play-in)
  --play-in SRC          virtual microphone: FILE.wav, tone:HZ or silence
  --record-out FILE.wav  write what the virtual speaker plays to FILE.wav
                         (both imply --audio virtual)
Running:
  --exec "CMD; CMD"      run these commands, then quit (instead of reading stdin)
  --verbose              also print every received datagram as "log TEXT"
  --help                 this text
  --version              the program's version

Commands (the current line is 1 at start):
  register | unregister  register the account, or end the registration
  call TARGET            call TARGET (user, number or user@host) on the current line
  answer                 answer the ringing call on the current line, or else the
                         lowest ringing line, which becomes the current line
  reject                 answer a ringing call busy (same choice of line as answer)
  hangup                 end the call on the current line (reject it when ringing)
  hold | unhold          put the call on hold, or resume it
  transfer TARGET        blind transfer to TARGET (a ringing call is redirected)
  dtmf DIGITS            send 0-9 * # A-D by the --dtmf-method (in band: 0-9 * #)
  line N                 make line N current; only its call is heard and hears you
  play FILE              play a WAV file into the call instead of the microphone
  say TEXT               speak TEXT into the call (Spanish voice when installed)
  record start           record the call on the current line
  record stop FILE       save the recording as a GSM WAV file and stop
  conference on|off      join every connected call into one conference, or part them
  message USER TEXT      send an instant message
  wait SECONDS           handle events for SECONDS
  wait-event NAME [SECONDS]
                         wait for an event NAME not yet waited for (default 30 s);
                         when none comes in time, quit with exit status 1
  status                 print "status ..." lines: account, then each busy line
                         (with --transport, --srtp or --ca-file a busy line
                         also says srtp=yes|no tls=yes|no)
  quit                   hang up, unregister and exit (also at the end of input)
  Lines starting with # are ignored.

Events (standard output):
  event registered | event registration-ended reason=R [status=CODE] [detail="TEXT"]
                         R: unregistered (asked for), no-answer (the server
                         did not answer in time), refused (with the server's
                         CODE), unknown-server (its name resolves to nothing)
                         or insecure (TLS: the server's certificate was
                         refused; TEXT says why)
  event incoming line=N from=USER    event ringback line=N
  event answered line=N              event bye line=N status=CODE
  event dtmf line=N digit=D          event silence line=N
  event wav-stopped line=N           log TEXT (with --verbose)
  event device-error line=N device=capture|playback reason=TEXT
                         a sound device did not open (TEXT runs to the end
                         of the line); the call goes on
  CODE is the final status of the call: 200 when it had been answered, else
  the failure (486 busy, 487 cancelled, 408 no answer, ...). Values are escaped:
  \xNN for blanks and control characters, \r \n \\.

Exit status: 0 after quit or the end of input, 1 when a wait-event timed out
or the SIP port could not be opened, 2 for a bad command line (a server or
proxy name that does not resolve included).
)";
}

}  // namespace qv::cli
