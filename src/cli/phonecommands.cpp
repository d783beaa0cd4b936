// The commands of quorvelle-cli, run by TCliPhone.
#include <algorithm>

#include "cli/phone.h"
#include "media/text2speech.h"
#include "media/wavfiles.h"
#include "platform/errors.h"

namespace qv::cli {

namespace {

const char* StateName(int state) {
  switch (state) {
    case csIdle: return "ended";
    case csInviteSent:
    case csInviteAuthSent: return "calling";
    case csRinging: return "ringing";
    case csConnected: return "connected";
    case csHoldSent: return "held";
    case csReferSent:
    case csReferAuthSent: return "transferring";
    default: return "unknown";
  }
}

const char* RegistrationName(int state) {
  switch (state) {
    case asIdle: return "unregistered";
    case asStunSent:
    case asRegisterSent:
    case asRegisterAuthSent: return "registering";
    case asRegistered: return "registered";
    default: return "unregistering";
  }
}

// The voice for "say": Spanish when installed, else the first one there is.
int SpeechVoice() {
  int voice = FindSpeechVoice("es");
  if (voice >= 0) return voice;
  return ListSpeechVoices().empty() ? -1 : 0;
}

}  // namespace

TRunResult TCliPhone::Execute(const std::string& line) {
  TRunResult result = TRunResult::Continue;
  try {
    TCommand command = ParseCommand(line, int(lines_.size()));
    Run(command, result);
  } catch (const TCommandError& e) {
    out_.Error(e.what());
  } catch (const std::exception& e) {
    // The user agent's own texts ("Network is unreachable") do not say what
    // was being done: the command's name goes in front.
    std::string verb = line.substr(0, line.find_first_of(" \t"));
    out_.Error(Printable(verb) + ": " + e.what());
  }
  ApplyLineAudio();
  if (interrupted_) result = TRunResult::Quit;
  return result;
}

ISipCallPtr TCliPhone::RequireCall(std::initializer_list<int> states, const char* what) {
  const ISipCallPtr& call = Current().Call;
  std::string line = std::to_string(current_ + 1);
  if (!call) throw TCommandError(std::string(what) + ": no call on line " + line);
  int state = call->GetState();
  if (std::find(states.begin(), states.end(), state) == states.end())
    throw TCommandError(std::string(what) + ": the call on line " + line + " is " + StateName(state));
  return call;
}

void TCliPhone::Run(const TCommand& c, TRunResult& result) {
  auto now = std::chrono::steady_clock::now;
  auto after = [&](double seconds) {
    return now() + std::chrono::microseconds(int64_t(seconds * 1e6));
  };
  switch (c.Verb) {
    case TVerb::None:
      return;
    case TVerb::Register:
      unregistering_ = false;
      client_.PrepareAccount(account_);
      client_.Register(account_);
      return;
    case TVerb::Unregister:
      unregistering_ = true;
      client_.Unregister(account_);
      return;
    case TVerb::Call:
      CallTarget(c.Target);
      return;
    case TVerb::Answer: {
      int index = RingingLine();
      if (index < 0) throw TCommandError("answer: no call is ringing");
      AnswerLine(index);
      return;
    }
    case TVerb::Reject: {
      int index = RingingLine();
      if (index < 0) throw TCommandError("reject: no call is ringing");
      lines_[size_t(index)].EndCode = "486";
      ISipCallPtr call = lines_[size_t(index)].Call;
      client_.Reject(call);
      return;
    }
    case TVerb::HangUp: {
      ISipCallPtr call = RequireCall({csInviteSent, csInviteAuthSent, csRinging, csConnected, csHoldSent},
                                     "hangup");
      if (call->GetIncoming() && call->GetState() == csRinging) {
        Current().EndCode = "486";
        client_.Reject(call);
      } else {
        client_.HangUp(call);
      }
      return;
    }
    case TVerb::Hold:
      client_.Hold(RequireCall({csConnected}, "hold"));
      return;
    case TVerb::Unhold:
      client_.Unhold(RequireCall({csHoldSent}, "unhold"));
      return;
    case TVerb::Transfer: {
      ISipCallPtr call = RequireCall({csConnected, csRinging}, "transfer");
      if (call->GetState() == csRinging && !call->GetIncoming())
        throw TCommandError("transfer: the call on line " + std::to_string(current_ + 1) +
                            " is not answered yet");
      if (call->GetState() == csRinging) Current().EndCode = "302";
      client_.Transfer(call, c.Target);
      return;
    }
    case TVerb::Dtmf:
      SendDigits(c.Text);
      return;
    case TVerb::Line:
      current_ = c.Line - 1;
      return;
    case TVerb::Play: {
      ISipCallPtr call = RequireCall({csConnected, csHoldSent}, "play");
      client_.Engine()->PlayWavFile(call, c.Text);
      Current().PendingTones.clear();
      Current().TonePlaying = Current().ToneDue = false;
      return;
    }
    case TVerb::Say: {
      ISipCallPtr call = RequireCall({csConnected, csHoldSent}, "say");
      int voice = SpeechVoice();
      if (voice < 0) throw TCommandError("say: no speech voice is installed");
      auto speech = std::make_shared<TWavStream>(c.Text, voice);
      if (speech->GetSize() == 0) throw TCommandError("say: the speech engine gave no sound");
      call->SetWavSource(speech);
      Current().PendingTones.clear();
      Current().TonePlaying = Current().ToneDue = false;
      return;
    }
    case TVerb::RecordStart:
      StartRecording();
      return;
    case TVerb::RecordStop:
      StopRecording(c.Text);
      return;
    case TVerb::ConferenceOn:
    case TVerb::ConferenceOff:
      Conference(c.Verb == TVerb::ConferenceOn);
      return;
    case TVerb::Message:
      client_.Engine()->SendMessage(account_, c.Target, c.Text);
      return;
    case TVerb::Wait:
      WaitUntil(after(c.Seconds), "");
      return;
    case TVerb::WaitEvent:
      if (!WaitUntil(after(c.Seconds), c.Target) && !interrupted_) {
        out_.Error("timed out waiting for event " + c.Target);
        result = TRunResult::TimedOut;
      }
      return;
    case TVerb::Status:
      PrintStatus();
      return;
    case TVerb::Quit:
      result = TRunResult::Quit;
      return;
  }
}

void TCliPhone::CallTarget(const std::string& target) {
  TLine& line = Current();
  if (line.Call) throw TCommandError("call: line " + std::to_string(current_ + 1) + " is busy");
  ISipCallPtr call = client_.MakeCall(account_, target, options_.InputDevice, options_.OutputDevice);
  line = TLine();
  line.Call = call;
}

void TCliPhone::SendDigits(const std::string& digits) {
  ISipCallPtr call = RequireCall({csConnected}, "dtmf");
  if (options_.DtmfMethod != dtmfInBand) {
    client_.SendDtmf(call, digits);
    return;
  }
  if (digits.find_first_of("ABCD") != std::string::npos)
    throw TCommandError("dtmf: A to D have no in-band tone");
  TLine& line = Current();
  line.PendingTones += digits;
  // One tone at a time: the next one starts when the previous has played
  // and the pause after it has passed.
  if (line.TonePlaying) return;
  line.TonePlaying = true;
  if (std::chrono::steady_clock::now() < line.ToneAt) {
    line.ToneDue = true;
    return;
  }
  try {
    PlayNextTone(line);
  } catch (...) {
    line.PendingTones.clear();
    line.TonePlaying = false;
    throw;
  }
}

void TCliPhone::StartRecording() {
  if (recorder_) throw TCommandError("record: already recording");
  ISipCallPtr call = RequireCall({csInviteSent, csInviteAuthSent, csRinging, csConnected, csHoldSent},
                                 "record");
  recorder_ = client_.CreateRecorder();
  call->SetRecorder(recorder_);
}

void TCliPhone::StopRecording(const std::string& file) {
  if (!recorder_) throw TCommandError("record: not recording");
  // A failed save keeps the recording, so that another name can be tried.
  recorder_->SaveToFile(file);
  for (TLine& line : lines_)
    if (line.Call && line.Call->GetRecorder() == recorder_) line.Call->SetRecorder(nullptr);
  recorder_.reset();
}

void TCliPhone::Conference(bool on) {
  if (on) {
    if (conference_) throw TCommandError("conference: already on");
    int connected = int(std::count_if(lines_.begin(), lines_.end(), [](const TLine& l) {
      return l.Call && l.Call->GetState() == csConnected;
    }));
    if (connected < 2) throw TCommandError("conference: needs two connected calls");
    conference_ = client_.CreateConference();
  } else if (!conference_) {
    throw TCommandError("conference: not on");
  }
  for (TLine& line : lines_) {
    if (!line.Call) continue;
    if (on && line.Call->GetState() == csConnected) line.Call->SetConference(conference_);
    if (!on && line.Call->GetConference() == conference_) line.Call->SetConference(nullptr);
  }
  if (!on) conference_.reset();
}

std::string TCliPhone::Security(ISipCall& call) const {
  if (!options_.SecurityAsked()) return "";
  ISipAccountPtr account = call.GetAccount();
  const bool tls = account && account->GetTransport() == TSipTransport::Tls;
  return std::string(" srtp=") + (call.GetSrtp().Active() ? "yes" : "no") + " tls=" + (tls ? "yes" : "no");
}

void TCliPhone::PrintStatus() {
  out_.Status("account=" + Printable(options_.User + "@" + account_->GetDomain(), true) +
              " registration=" + RegistrationName(account_->GetState()) +
              " port=" + std::to_string(client_.BoundPort()) + " line=" + std::to_string(current_ + 1) +
              " recording=" + (recorder_ ? "on" : "off") + " conference=" + (conference_ ? "on" : "off"));
  for (size_t i = 0; i < lines_.size(); ++i) {
    const ISipCallPtr& call = lines_[i].Call;
    if (!call) continue;
    out_.Status(LineField(int(i)) + " state=" + StateName(call->GetState()) +
                " direction=" + (call->GetIncoming() ? "in" : "out") +
                " remote=" + Printable(call->GetRemoteUser(), true) +
                " current=" + (int(i) == current_ ? "yes" : "no") + Security(*call));
  }
}

bool TCliPhone::WaitUntil(TTime deadline, const std::string& eventName) {
  while (true) {
    if (!eventName.empty() && out_.TakeEvent(eventName)) return true;
    if (interrupted_) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                      std::chrono::steady_clock::now());
    if (left.count() <= 0) return eventName.empty();
    Pump(int(std::min<int64_t>(left.count(), 1000)));
  }
}

}  // namespace qv::cli
