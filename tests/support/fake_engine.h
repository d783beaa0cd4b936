// A stand-in for the SIP engine in unit tests of calls, accounts and builders.
// It records the notifications a call sends and hands out CSeq numbers; every
// other operation does nothing. Thread-safe.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "sip/sipints.h"

namespace qv::test {

class TFakeEngine : public ISipEngine {
public:
  struct TStateNote {
    const ISipCall* Call;  // not owning: a record must not keep the call alive
    int State;
  };
  struct TDtmfNote {
    const ISipCall* Call;
    std::string Text;
  };

  std::vector<TStateNote> StateNotes();
  std::vector<TDtmfNote> DtmfNotes();

  void SetCodecs(const std::vector<int>&) override {}
  void Log(const std::string&) override {}
  int NextCSeq() override { return ++cseq_; }
  void SendDtmfInfo(const ISipCallPtr&, const std::string&) override {}
  int GetSilenceThreshold() override { return kDefaultSilenceThreshold; }
  void SetSilenceThreshold(int) override {}
  int GetSilenceTimeout() override { return 5000; }
  void SetSilenceTimeout(int) override {}
  bool GetEchoCancellation() override { return echoCancellation_; }
  void SetEchoCancellation(bool value) override { echoCancellation_ = value; }
  // Off in the double: the media tests measure tones and noise sent through
  // the microphone, which the noise suppressor would take for steady noise.
  // The echo tests switch it on.
  std::atomic<bool> echoCancellation_{false};
  int CodecCount() override { return 3; }
  int CodecAt(int index) override { return index == 0 ? 0 : index == 1 ? 8 : 3; }
  void DropCall(const ISipCallPtr&) override {}
  int GetRtpPortMin() override { return 20000; }
  void SetRtpPortMin(int) override {}
  int GetRtpPortMax() override { return 24000; }
  void SetRtpPortMax(int) override {}
  std::string CodecListText() override { return "0 8 3"; }
  void PlayWavFile(const ISipCallPtr&, const std::string&) override {}
  void PlayWavStream(const ISipCallPtr&, std::istream&, int64_t) override {}
  void SendDtmfRfc2833(const ISipCallPtr&, const std::string&) override {}
  void Register(const ISipAccountPtr&) override {}
  void RemoveAccount(const ISipAccountPtr&) override {}
  void PrepareAccount(const ISipAccountPtr&) override {}
  int GetBoundPort() override { return 0; }
  void StartRegistration(const ISipAccountPtr&) override {}
  void Unregister(const ISipAccountPtr&) override {}
  void Answer(const ISipCallPtr&) override {}
  void Busy(const ISipCallPtr&) override {}
  void HangUp(const ISipCallPtr&) override {}
  void Hold(const ISipCallPtr&) override {}
  void Unhold(const ISipCallPtr&) override {}
  void Transfer(const ISipCallPtr&, const std::string&) override {}
  int GetLocalPort() override { return 5075; }
  void SetLocalPort(int) override {}
  bool GetActive() override { return false; }
  void SetActive(bool) override {}
  ISipAccountPtr AddAccount(const std::string&, const std::string&, const std::string&,
                            const std::string&, const std::string&) override {
    return nullptr;
  }
  void NotifySilence(const ISipCallPtr& call) override { NotifyDtmf(call, "s"); }
  void NotifyDtmf(const ISipCallPtr& call, const std::string& text) override;
  void NotifyCallState(const ISipCallPtr& call, int state) override;
  void NotifyWavStopped(const ISipCallPtr&) override {}
  struct TDeviceNote {
    const ISipCall* Call;
    bool Input;
    std::string Reason;
  };
  std::vector<TDeviceNote> DeviceNotes();
  void NotifyDeviceError(const ISipCallPtr& call, bool input, const std::string& reason) override;
  ISipCallPtr Invite(const ISipAccountPtr&, const std::string&, int, int) override {
    return nullptr;
  }
  bool SendText(const std::string&, int, const std::string&) override { return false; }
  ISipAccountPtr FindAccountByCallId(const std::string&) override { return nullptr; }
  ISipCallPtr FindCallByCallId(const std::string&) override { return nullptr; }
  void SendMessage(const ISipAccountPtr&, const std::string&, const std::string&) override {}
  void Tick() override {}
  void SetKeepAlive(bool) override {}
  bool GetKeepAlive() override { return false; }
  int GetMaxCalls() override { return maxCalls; }
  void SetMaxCalls(int value) override { maxCalls = value; }
  int GetInviteRateLimit() override { return inviteRateLimit; }
  void SetInviteRateLimit(int value) override { inviteRateLimit = value; }
  int maxCalls = 32;
  int inviteRateLimit = 10;

private:
  std::atomic<int> cseq_{0};
  std::mutex mutex_;
  std::vector<TStateNote> stateNotes_;
  std::vector<TDtmfNote> dtmfNotes_;
  std::vector<TDeviceNote> deviceNotes_;
};

}  // namespace qv::test
