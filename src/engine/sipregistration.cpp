// Registration: REGISTER and its challenge, the granted expiry, the refresh
// and its retries, the un-REGISTER, and the reason a registration ended.
//
// A registered account stays registered (state 4) for as long as the
// registrar keeps its binding: a refresh goes out at half the granted time
// (RFC 3261 10.2.4: our Contact's expires in the 200, else its Expires,
// else what we asked), and one that fails or gets no answer is tried again,
// 30 s after the first failure and twice as long after each next one, up to
// 5 min, but never later than 10 s before the binding ends. Only when the
// binding really ends does the user hear of it.

#include "dialogs/account.h"
#include "dialogs/guids.h"
#include "dialogs/siprequests.h"
#include "engine/engineutil.h"
#include "engine/sipengine.h"
#include "platform/clock.h"
#include "platform/lockguard.h"
#include "platform/textutil.h"
#include "sip/contact.h"
#include "sip/iputils.h"
#include "sip/sipmessage.h"

namespace qv {

namespace {

constexpr int64_t kStunWaitMs = 3000;          // the STUN answer, then REGISTER without it
constexpr int64_t kRegisterWaitMs = 20000;     // a first REGISTER or an un-REGISTER unanswered
constexpr int64_t kLongestRefreshMs = 600000;  // refreshed at least every 10 minutes
constexpr int64_t kShortestRefreshMs = 5000;   // and never sooner than 5 s after the last
constexpr int64_t kFirstRetryMs = 30000;
constexpr int64_t kLongestRetryMs = 300000;
constexpr int64_t kRetryMarginMs = 10000;      // a retry comes 10 s before the binding ends at the latest
constexpr int64_t kKeepAliveMs = 25000;        // RFC 5626 4.4.1 suggests 25 s for UDP NAT bindings

using TRegistration = ISipAccount::TRegistration;

}  // namespace

void TSipEngine::Register(const ISipAccountPtr& account) {
  RequireActive();
  TLockGuard<ISipAccount> lock(*account);
  if (account->GetLocalPort() == 0) account->SetLocalPort(SipPort());
  if (!ResolveServer(*account)) {
    EndRegistration(account, {TRegistrationEnd::UnknownServer, 0});
    return;
  }
  TRegistration& reg = account->Registration();
  // A registered account keeps its state while it refreshes.
  reg.refreshing = account->State() == TAccountState::Registered;
  reg.challenged = false;
  SendRegister(account);
}

// Under the account's lock.
void TSipEngine::SendRegister(const ISipAccountPtr& account) {
  TRegistration& reg = account->Registration();
  account->SetBranch(NewBranch());
  account->SetCSeq(NextCSeq());
  reg.cseq = account->GetCSeq();
  std::string text = BuildRegister(*account);
  account->SetStateTime(Now());
  reg.sentAt = NowMs();
  if (!reg.refreshing) account->SetState(TAccountState::RegisterSent);
  SendRequest(*account, text);
}

void TSipEngine::Unregister(const ISipAccountPtr& account) {
  TLockGuard<ISipAccount> lock(*account);
  account->SetBranch(NewBranch());
  RequireActive();
  EnsureServer(*account);
  account->SetCSeq(NextCSeq());
  TRegistration& reg = account->Registration();
  reg.cseq = account->GetCSeq();
  reg.refreshing = false;
  reg.challenged = false;
  std::string text = BuildUnregister(*account);
  account->SetStateTime(Now());
  reg.sentAt = NowMs();
  account->SetState(TAccountState::UnregisterSent);
  SendRequest(*account, text);
}

void TSipEngine::RegisterWithCredentials(const ISipAccountPtr& account, int expires) {
  if (!active_) return;
  TLockGuard<ISipAccount> lock(*account);
  TRegistration& reg = account->Registration();
  account->SetBranch(NewBranch());
  account->SetCSeq(NextCSeq());
  reg.cseq = account->GetCSeq();
  reg.challenged = true;
  reg.sentAt = NowMs();
  std::string text = expires != 0 ? BuildRegisterAuth(*account) : BuildUnregisterAuth(*account);
  SendRequest(*account, text);
}

// Under the account's lock.
void TSipEngine::RegistrationSucceeded(const ISipAccountPtr& account, const TSipMessage& m) {
  TRegistration& reg = account->Registration();
  int granted = ContactExpires(m.Contacts, account->GetContactUri());
  if (granted <= 0) granted = ToIntDef(m.Expires, -1);
  if (granted <= 0) granted = account->GetExpires();
  const int64_t now = NowMs();
  int64_t interval = std::clamp<int64_t>(int64_t(granted) * 1000 / 2, kShortestRefreshMs, kLongestRefreshMs);
  reg.intervalExpires = granted;
  reg.expiresAt = reg.sentAt + int64_t(granted) * 1000;
  reg.refreshAt = reg.sentAt + interval;
  reg.refreshing = false;
  reg.challenged = false;
  reg.retryDelay = 0;
  reg.reconnectDelay = 0;
  reg.failure = {};
  account->SetRemoteTag(m.ToTag);
  if (account->State() == TAccountState::Registered) return;  // a refresh: nothing changes for the user
  reg.keepAliveAt = now + kKeepAliveMs;
  account->SetState(TAccountState::Registered);
  Post(MsgRegistered, 0, account);
}

// Under the account's lock. The account stays registered while its binding
// lasts; the next attempt is planned.
void TSipEngine::RefreshFailed(const ISipAccountPtr& account, const TRegistrationEndReason& why) {
  TRegistration& reg = account->Registration();
  reg.refreshing = false;
  reg.challenged = false;
  reg.failure = why;
  const int64_t now = NowMs();
  if (now >= reg.expiresAt) {
    EndRegistration(account, why);
    return;
  }
  reg.retryDelay = reg.retryDelay == 0 ? kFirstRetryMs : std::min(reg.retryDelay * 2, kLongestRetryMs);
  int64_t at = std::min(now + reg.retryDelay, reg.expiresAt - kRetryMarginMs);
  reg.refreshAt = std::max(at, reg.sentAt + kShortestRefreshMs);
}

// Under the account's lock: back to "not registered", and the user is told why.
void TSipEngine::EndRegistration(const ISipAccountPtr& account, const TRegistrationEndReason& why) {
  TRegistration& reg = account->Registration();
  bool portGiven = reg.portGiven;
  reg = TRegistration();
  reg.portGiven = portGiven;
  account->SetEndReason(why);
  account->SetState(TAccountState::Idle);
  Post(MsgRegistrationEnded, 0, account);
}

void TSipEngine::HandleRegisterResponse(const TSipMessage& m) {
  if (!m.IsResponse()) return;
  ISipAccountPtr account = FindAccountByCallId(m.CallId);
  if (!account) return;
  const std::string& status = m.StatusCode;
  const int code = ToIntDef(status, 0);
  TLockGuard<ISipAccount> lock(*account);
  TRegistration& reg = account->Registration();
  // The answer to an older REGISTER (a refresh overtaken by an
  // un-REGISTER) says nothing about the one out now.
  if (ToIntDef(m.CSeqNumber, -1) != reg.cseq || code < 200) return;
  // A challenge for a realm the account does not trust is a refusal.
  const bool challenge = (status == "401" || status == "407") && RealmAllowed(*account, m, true);
  const TRegistrationEndReason refused{TRegistrationEnd::Refused, code};
  auto answerChallenge = [&](int expires) {
    account->SetChallenge(m.Challenge());
    account->SetRport(m.ViaRport);
    account->SetLocalTag(NewTag());
    RegisterWithCredentials(account, expires);
  };
  // RFC 3261 10.3: 423 names the shortest expiry the registrar accepts.
  auto askAgainLonger = [&] {
    int minimum = ToIntDef(m.MinExpires, 0);
    if (minimum <= account->GetExpires()) return false;
    account->SetExpires(minimum);
    reg.challenged = false;
    SendRegister(account);
    return true;
  };
  switch (account->State()) {
    case TAccountState::RegisterSent:
    case TAccountState::RegisterAuthSent:
      if (code < 300) {
        RegistrationSucceeded(account, m);
      } else if (challenge && !reg.challenged) {
        account->SetState(TAccountState::RegisterAuthSent);
        answerChallenge(account->GetExpires());
      } else if (!(code == 423 && askAgainLonger())) {
        EndRegistration(account, refused);
      }
      break;
    case TAccountState::Registered:
      if (!reg.refreshing) break;  // a repeated answer: the registration stands
      if (code < 300) {
        RegistrationSucceeded(account, m);
      } else if (challenge && !reg.challenged) {
        answerChallenge(account->GetExpires());
      } else if (!(code == 423 && askAgainLonger())) {
        RefreshFailed(account, refused);
      }
      break;
    case TAccountState::UnregisterSent:
      if (challenge && !reg.challenged) {
        account->SetState(TAccountState::UnregisterAuthSent);
        answerChallenge(0);
      } else {
        EndRegistration(account, {TRegistrationEnd::Unregistered, 0});
      }
      break;
    case TAccountState::UnregisterAuthSent:
      EndRegistration(account, {TRegistrationEnd::Unregistered, 0});
      break;
    default:
      break;
  }
}

// Tick, under the account's lock.
void TSipEngine::RegistrationTimers(const ISipAccountPtr& account, int64_t now) {
  TRegistration& reg = account->Registration();
  switch (account->State()) {
    case TAccountState::StunSent:
      if (now - reg.sentAt > kStunWaitMs) Register(account);  // the STUN answer did not come
      break;
    case TAccountState::RegisterSent:
    case TAccountState::RegisterAuthSent:
      if (now - reg.sentAt > kRegisterWaitMs) EndRegistration(account, {TRegistrationEnd::NoAnswer, 0});
      break;
    case TAccountState::UnregisterSent:
    case TAccountState::UnregisterAuthSent:  // a lost answer would leave it there for good
      if (now - reg.sentAt > kRegisterWaitMs) EndRegistration(account, {TRegistrationEnd::Unregistered, 0});
      break;
    case TAccountState::Registered:
      if (reg.expiresAt != 0 && now >= reg.expiresAt) {
        TRegistrationEndReason why = reg.failure;
        if (why.Kind == TRegistrationEnd::None) why.Kind = TRegistrationEnd::NoAnswer;
        EndRegistration(account, why);
        break;
      }
      if (!reg.refreshing && reg.refreshAt != 0 && now >= reg.refreshAt) Register(account);
      // Over TCP and TLS the connection pings by itself.
      if (keepAlive_ && account->GetTransport() == TSipTransport::Udp && reg.keepAliveAt != 0 &&
          now >= reg.keepAliveAt) {
        // RFC 5626 3.5.1: a double CRLF keeps the NAT's mapping towards the
        // registrar open, so that the calls it sends us still come in.
        reg.keepAliveAt = now + kKeepAliveMs;
        SendText("\r\n\r\n", account->GetServerPort(), account->GetServer());
      }
      break;
    default:
      break;
  }
}

}  // namespace qv
