// TAccount: one SIP identity at one registrar, with the identifiers of its
// registration dialog, its registration state and the last Digest challenge.
//
// Threads: every accessor may be called from any thread. Text fields are
// copied in and out under a small field guard, scalars are atomic; neither
// takes the account lock, which the engine holds around whole operations
// (list lock before account lock).
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "sip/sipints.h"

namespace qv {

class TAccount final : public ISipAccount {
public:
  TAccount();
  ~TAccount() override = default;

  std::string GetContactUri() override;
  int GetCSeq() override { return cseq_.load(); }
  void SetCSeq(int value) override { cseq_.store(value); }
  std::string GetDisplayName() override { return Get(displayName_); }
  // Raises on a control character: the name goes into From and To.
  void SetDisplayName(const std::string& value) override;
  std::string GetDisplayPrefix() override;
  void Lock() override { lock_.lock(); }
  void Unlock() override { lock_.unlock(); }
  using ISipAccount::SetState;
  TAccountState State() override { return state_.load(); }
  void SetState(TAccountState value) override { state_.store(value); }
  std::string GetDomain() override { return Get(domain_); }
  void SetDomain(const std::string& value) override { Set(domain_, value); }
  std::string GetProxy() override { return Get(proxy_); }
  void SetProxy(const std::string& value) override { Set(proxy_, value); }
  std::string GetStunServer() override { return Get(stunServer_); }
  void SetStunServer(const std::string& value) override { Set(stunServer_, value); }
  std::string GetUserName() override { return Get(userName_); }
  void SetUserName(const std::string& value) override { Set(userName_, value); }
  std::string GetPassword() override { return Get(password_); }
  void SetPassword(const std::string& value) override { Set(password_, value); }
  std::string GetRport() override { return Get(rport_); }
  void SetRport(const std::string& value) override { Set(rport_, value); }
  std::string GetStunAddress() override { return Get(stunAddress_); }
  void SetStunAddress(const std::string& value) override { Set(stunAddress_, value); }
  std::string GetLocalAddress() override { return Get(localAddress_); }
  void SetLocalAddress(const std::string& value) override { Set(localAddress_, value); }
  int GetLocalPort() override { return localPort_.load(); }
  void SetLocalPort(int value) override { localPort_.store(value); }
  std::string GetContactAddress() override;
  void SetPublicAddress(const std::string& value) override { Set(publicAddress_, value); }
  std::string GetLocalTag() override { return Get(localTag_); }
  void SetLocalTag(const std::string& value) override { Set(localTag_, value); }
  int GetServerPort() override { return serverPort_.load(); }
  void SetServerPort(int value) override { serverPort_.store(value); }
  std::string GetRemoteTag() override { return Get(remoteTag_); }
  void SetRemoteTag(const std::string& value) override { Set(remoteTag_, value); }
  TChallenge GetChallenge() override {
    std::lock_guard guard(fields_);
    return challenge_;
  }
  void SetChallenge(const TChallenge& value) override {
    std::lock_guard guard(fields_);
    challenge_ = value;
  }
  std::string GetRealms() override { return Get(realms_); }
  void SetRealms(const std::string& value) override;
  std::string GetLearnedRealm() override { return Get(learnedRealm_); }
  void SetLearnedRealm(const std::string& value) override { Set(learnedRealm_, value); }
  std::string GetMessageText() override { return Get(messageText_); }
  void SetMessageText(const std::string& value) override { Set(messageText_, value); }
  void SetStateTime(double value) override { stateTime_.store(value); }
  double GetStateTime() override { return stateTime_.load(); }
  std::string GetBranch() override { return Get(branch_); }
  void SetBranch(const std::string& value) override { Set(branch_, value); }
  std::string GetCallId() override { return Get(callId_); }
  void SetCallId(const std::string& value) override { Set(callId_, value); }
  std::string GetServer() override { return Get(server_); }
  int GetExpires() override { return expires_.load(); }
  void SetExpires(int value) override { expires_.store(value); }
  void SetServer(const std::string& value) override;
  TSipTransport GetTransport() override { return transport_.load(); }
  void SetTransport(TSipTransport value) override { transport_.store(value); }
  TSrtpMode GetSrtpMode() override { return srtpMode_.load(); }
  void SetSrtpMode(TSrtpMode value) override { srtpMode_.store(value); }
  std::string GetCaFile() override { return Get(caFile_); }
  void SetCaFile(const std::string& value) override { Set(caFile_, value); }
  bool GetSrtpKeysWithoutTls() override { return srtpKeysWithoutTls_.load(); }
  void SetSrtpKeysWithoutTls(bool value) override { srtpKeysWithoutTls_.store(value); }
  TRegistrationEndReason GetEndReason() override {
    std::lock_guard guard(fields_);
    return endReason_;
  }
  void SetEndReason(const TRegistrationEndReason& value) override {
    std::lock_guard guard(fields_);
    endReason_ = value;
  }
  TRegistration& Registration() override { return registration_; }

private:
  std::string Get(const std::string& field) {
    std::lock_guard guard(fields_);
    return field;
  }
  void Set(std::string& field, const std::string& value) {
    std::lock_guard guard(fields_);
    field = value;
  }

  std::recursive_mutex lock_;  // the account lock of the design
  std::mutex fields_;          // guards the text fields only, never held across calls

  std::string domain_, proxy_, server_, userName_, password_, displayName_;
  std::string stunServer_, stunAddress_, publicAddress_, rport_, localAddress_;
  std::string callId_, localTag_, remoteTag_, branch_;
  TChallenge challenge_;
  std::string messageText_;
  std::string caFile_;
  std::string realms_, learnedRealm_;
  TRegistrationEndReason endReason_;
  TRegistration registration_;  // guarded by lock_

  std::atomic<int> serverPort_{5060};
  std::atomic<int> localPort_{0};
  std::atomic<int> cseq_{1};
  std::atomic<int> expires_{3600};
  std::atomic<TAccountState> state_{TAccountState::Idle};
  std::atomic<double> stateTime_{0};
  std::atomic<TSipTransport> transport_{TSipTransport::Udp};
  std::atomic<TSrtpMode> srtpMode_{TSrtpMode::Off};
  std::atomic<bool> srtpKeysWithoutTls_{false};
};

}  // namespace qv
