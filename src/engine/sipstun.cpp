// The STUN exchange that starts a registration when the account names a
// STUN server: the binding request, its answer, and (in Tick) its time-out.

#include "engine/sipengine.h"
#include "platform/clock.h"
#include "platform/lockguard.h"
#include "platform/textutil.h"
#include "sip/iputils.h"
#include "sip/stun.h"

namespace qv {

namespace {

// "host" or "host:port"; STUN listens on 3478 unless the user says otherwise.
void SplitStunServer(const std::string& text, std::string& host, int& port) {
  size_t colon = text.find(':');
  host = text.substr(0, colon);
  port = colon == std::string::npos ? 3478 : ToIntDef(text.substr(colon + 1), 3478);
}

}  // namespace

void TSipEngine::StartRegistration(const ISipAccountPtr& account) {
  bool registerNow = false;
  {
    TLockGuard<ISipAccount> lock(*account);
    if (!ResolveServer(*account)) {
      EndRegistration(account, {TRegistrationEnd::UnknownServer, 0});
      return;
    }
    std::string stunHost;
    int stunPort;
    SplitStunServer(account->GetStunServer(), stunHost, stunPort);
    if (account->GetStunAddress().empty() && !stunHost.empty())
      account->SetStunAddress(ResolveHostOrEmpty(stunHost));
    account->SetLocalPort(SipPort());
    if (!account->GetStunAddress().empty()) {
      account->SetStateTime(Now());
      account->Registration().sentAt = NowMs();
      account->SetState(TAccountState::StunSent);
      SendText(StunBindingRequest(StunTransactionId(account->GetCallId())), stunPort, account->GetStunAddress());
    } else {
      registerNow = true;
    }
  }
  if (registerNow) Register(account);
}

void TSipEngine::HandleStunAnswer(const std::string& d) {
  std::string id = StunAnswerTransactionId(d);
  if (id.empty()) return;
  ISipAccountPtr account = FindAccountByCallId(id);
  if (!account) return;
  // Under the account's lock, so that Tick's 3-second fallback and this
  // answer cannot both register.
  TLockGuard<ISipAccount> lock(*account);
  if (account->State() != TAccountState::StunSent) return;
  std::string address = StunMappedAddress(d);
  if (!address.empty()) account->SetPublicAddress(address);
  Register(account);  // with or without a public address
}

}  // namespace qv
