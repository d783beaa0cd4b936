// baresip as the remote user agent (see peer_process.h for the common rules).
//
// It registers one user at a registrar, answers every call by itself, plays a
// WAV file as its microphone (aufile) and records what it hears to WAV files
// (sndfile, RecordedAudio()). The test drives it through its ctrl_tcp
// interface: Command("dial", uri), Command("hangup"), "hold", "resume",
// "sndcode" (RFC 2833 digits), and reads its events (WaitEvent("CALL_ESTABLISHED"),
// received digits as "CALL_DTMF_START" with the digit as parameter).
//
//   TBaresipOptions o;
//   o.User = "bob"; o.Password = "bobpw"; o.Registrar = kamailio.Address();
//   o.SourceWav = ...;                       // 8000 Hz mono 16-bit
//   TBaresip bob(dir, o);                    // returns once bob is registered
//   engine->Invite(account, "bob", ...);     // bob answers
//   ASSERT_TRUE(bob.WaitEvent("CALL_ESTABLISHED"));
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/peer_process.h"

namespace qv::test {

struct TBaresipOptions {
  std::string User;
  std::string Password;
  std::string Registrar;     // "127.0.0.1:port"; empty: no registration, bob is called directly
  std::string SourceWav;     // what bob "says": mono 16-bit PCM at SourceRate
  std::string Codecs = "PCMU";
  // Codec modules besides g711.so ("opus.so", "g722.so"), and the rate of
  // bob's microphone and speaker: a wideband codec only carries a wideband
  // source (16000 Hz) end to end.
  std::vector<std::string> CodecModules;
  int SourceRate = 8000;
  bool AutoAnswer = true;
  int MaxCalls = 8;
};

struct TBaresipEvent {
  std::string Type;   // "CALL_ESTABLISHED", "CALL_CLOSED", "CALL_DTMF_START", "REGISTER_OK"...
  std::string Param;  // the digit of a DTMF event, the reason of a closed call
  std::string PeerUri;
  std::string Json;   // the whole event
};

class TBaresip {
public:
  // Starts baresip, connects to its control port and, with a registrar,
  // returns once it is registered (raises after 10 s).
  TBaresip(const TPeerDir& dir, const TBaresipOptions& options);
  ~TBaresip();
  TBaresip(const TBaresip&) = delete;
  TBaresip& operator=(const TBaresip&) = delete;

  int SipPort() const { return sipPort_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(sipPort_); }

  // Runs one command; true when baresip says it went well. `data` receives its answer text.
  bool Command(const std::string& command, const std::string& params = "", std::string* data = nullptr,
               int timeoutMs = 5000);
  // The next event of `type` (earlier events of other types are kept).
  std::optional<TBaresipEvent> WaitEvent(const std::string& type, int timeoutMs = 10000);
  // Every event taken so far and not yet returned by WaitEvent.
  std::vector<TBaresipEvent> Events();
  // The digits baresip reported as received so far, in order.
  std::string DigitsReceived();

  // The WAV files sndfile wrote for what bob heard (decoded audio), newest last.
  std::vector<std::string> RecordedAudio() const;
  TPeerProcess& Process() { return *process_; }

private:
  void Connect(int timeoutMs);
  bool WaitRegistered(int timeoutMs);
  void Send(const std::string& json);
  // Reads what is available within `timeoutMs`; false on time-out.
  bool Read(int timeoutMs);

  int sipPort_ = 0;
  int controlPort_ = 0;
  int socket_ = -1;
  int token_ = 0;
  std::string recordDir_;
  std::string buffer_;
  std::deque<TBaresipEvent> events_;
  std::deque<std::string> responses_;
  std::string digits_;
  std::unique_ptr<TPeerProcess> process_;
};

// The string value of "key" in a flat JSON object; "" when absent.
std::string JsonString(const std::string& json, const std::string& key);

}  // namespace qv::test
