// TCliPhone: the softphone behind quorvelle-cli. It owns one TSipClient and
// one account, keeps the calls on numbered lines the way the desktop
// application does (an incoming call takes the lowest free line; with every
// line busy it is rejected busy; only the current line's call is heard and
// hears the microphone), turns the component's events into event lines, and
// runs the commands of commands.h.
//
// Threads: one, the program's main thread. Events are raised only while
// Pump() or a waiting command runs.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output.h"
#include "component/sipclient.h"

namespace qv::cli {

enum class TRunResult { Continue, Quit, TimedOut };

class TCliPhone {
public:
  TCliPhone(const TCliOptions& options, TOutput& output);
  ~TCliPhone();
  TCliPhone(const TCliPhone&) = delete;
  TCliPhone& operator=(const TCliPhone&) = delete;

  // Opens the SIP port, adds the account and registers it (or only prepares
  // it with --no-register). Raises qv::Exception when the port cannot be
  // opened, saying why and which option to change.
  void Start();
  // Hangs up connected calls and ends the registration.
  void Stop();

  // Runs one command line. Errors are printed, never raised.
  TRunResult Execute(const std::string& line);

  // Raises the events waiting, waiting up to `timeoutMs` for one, or for one
  // of `fds` to become readable (flags in `readable`), and runs what is due
  // (automatic answers). Errors are printed, never raised.
  void Pump(int timeoutMs, const std::vector<int>& fds = {}, std::vector<bool>* readable = nullptr);

  // A descriptor that becomes readable when the program should stop (a
  // signal arrived): waiting commands then give up and the run ends.
  void SetInterruptFd(int fd) { interruptFd_ = fd; }
  bool Interrupted() const { return interrupted_; }

  // The account (after Start); for tests that age its registration.
  ISipAccountPtr Account() const { return account_; }

private:
  using TTime = std::chrono::steady_clock::time_point;

  struct TLine {
    ISipCallPtr Call;
    bool Answered = false;
    std::string EndCode;       // set when we end it ourselves: 486 rejected, 302 redirected
    std::string PendingTones;  // in-band digits still to play
    bool TonePlaying = false;  // a digit sounds, or the pause after it runs
    bool ToneDue = false;
    TTime ToneAt{};
    bool AnswerDue = false;
    TTime AnswerAt{};
  };

  // Events.
  void OnInvite(const ISipCallPtr& call);
  void OnInviteOk(const ISipCallPtr& call);
  void OnRingback(const ISipCallPtr& call);
  void OnBye(const ISipCallPtr& call);
  void OnDtmf(const ISipCallPtr& call, const std::string& digit);
  void OnWavStopped(const ISipCallPtr& call);
  void OnDeviceError(const ISipCallPtr& call, bool input, const std::string& reason);

  // Lines (numbered from 1 in what is printed, from 0 in lines_).
  int LineOf(const ISipCallPtr& call) const;  // -1 when on none
  std::string LineField(int index) const { return "line=" + std::to_string(index + 1); }
  TLine& Current() { return lines_[size_t(current_)]; }
  int RingingLine() const;  // current line if ringing, else the lowest ringing one; -1
  void ApplyLineAudio();
  void AnswerLine(int index);
  void RunDueTimers();  // automatic answers and the next in-band digits
  void PlayNextTone(TLine& line);
  std::string EndCode(const TLine& line) const;

  // Commands (phonecommands.cpp).
  void Run(const TCommand& command, TRunResult& result);
  ISipCallPtr RequireCall(std::initializer_list<int> states, const char* what);
  void CallTarget(const std::string& target);
  void SendDigits(const std::string& digits);
  void StartRecording();
  void StopRecording(const std::string& file);
  void Conference(bool on);
  void PrintStatus();
  // " srtp=yes|no tls=yes|no" when the command line asked for security, else "".
  std::string Security(ISipCall& call) const;
  bool WaitUntil(TTime deadline, const std::string& eventName);

  const TCliOptions options_;
  TOutput& out_;
  TSipClient client_;
  ISipAccountPtr account_;
  std::vector<TLine> lines_;
  int current_ = 0;
  ISipRecorderPtr recorder_;
  ISipConferencePtr conference_;
  int interruptFd_ = -1;
  bool interrupted_ = false;
  bool unregistering_ = false;  // the user asked to end the registration
};

}  // namespace qv::cli
