// Accounts and what they send outside calls: registration, its refresh and
// removal with their challenges, and instant messages (MESSAGE).

#include "dialogs/account.h"
#include "dialogs/guids.h"
#include "dialogs/siprequests.h"
#include "engine/engineutil.h"
#include "engine/sipengine.h"
#include "platform/clock.h"
#include "platform/lockguard.h"
#include "platform/textutil.h"
#include "sip/iputils.h"
#include "sip/sipmessage.h"
#include "sip/siptext.h"

namespace qv {

ISipAccountPtr TSipEngine::AddAccount(const std::string& stunServer, const std::string& server,
                                      const std::string& userName, const std::string& password,
                                      const std::string& proxy) {
  if (!server.empty()) RequireSipText("server", server, TSipText::Host);
  if (!proxy.empty()) RequireSipText("proxy", proxy, TSipText::Host);
  if (!stunServer.empty()) RequireSipText("STUN server", stunServer, TSipText::Host);
  if (!userName.empty()) RequireSipText("user name", userName, TSipText::User);
  RequireSipText("password", password, TSipText::Password);
  auto account = std::make_shared<TAccount>();
  account->SetStunServer(stunServer);
  account->SetProxy(proxy);
  account->SetUserName(userName);
  account->SetPassword(password);
  size_t colon = server.find(':');
  account->SetDomain(server.substr(0, colon));
  account->SetServerPort(colon == std::string::npos ? 5060
                                                    : ToIntDef(server.substr(colon + 1, 10), 5060));
  accounts_.Add(account);
  return account;
}

void TSipEngine::ResolveServer(ISipAccount& account) {
  if (!account.GetServer().empty()) return;
  std::string proxy = account.GetProxy();
  account.SetServer(ResolveHost(proxy.empty() ? account.GetDomain() : proxy));
}

// A configured proxy receives all the account's requests, as after a
// registration; an account that never registered is prepared the same way,
// or its calls and answers would go nowhere without a word.
void TSipEngine::EnsureServer(ISipAccount& account) {
  ResolveServer(account);
  if (account.GetLocalPort() == 0) account.SetLocalPort(SipPort());
}

void TSipEngine::PrepareAccount(const ISipAccountPtr& account) {
  RequireActive();
  TLockGuard<ISipAccount> lock(*account);
  ResolveServer(*account);
  // The account avoids loopback for a remote registrar; for a peer on this
  // machine loopback is the one address that is right.
  if (IsLoopback(account->GetServer())) account->SetLocalAddress("127.0.0.1");
  account->SetLocalPort(SipPort());
}

void TSipEngine::RemoveAccount(const ISipAccountPtr& account) { accounts_.Remove(account); }

ISipAccountPtr TSipEngine::RequestAccount() {
  ISipAccountPtr account = accounts_.FirstAccount();
  if (account) EnsureServer(*account);
  return account;
}

ISipAccountPtr TSipEngine::FindAccountByCallId(const std::string& callId) {
  return accounts_.FindByCallId(callId);
}

void TSipEngine::Register(const ISipAccountPtr& account) {
  RequireActive();
  TLockGuard<ISipAccount> lock(*account);
  account->SetBranch(NewBranch());
  EnsureServer(*account);
  account->SetCSeq(NextCSeq());
  std::string text = BuildRegister(*account);
  account->SetStateTime(Now());
  account->SetState(TAccountState::RegisterSent);
  SendToServer(*account, text);
}

void TSipEngine::Unregister(const ISipAccountPtr& account) {
  TLockGuard<ISipAccount> lock(*account);
  account->SetBranch(NewBranch());
  RequireActive();
  EnsureServer(*account);
  account->SetCSeq(NextCSeq());
  std::string text = BuildUnregister(*account);
  account->SetStateTime(Now());
  account->SetState(TAccountState::UnregisterSent);
  SendToServer(*account, text);
}

void TSipEngine::RegisterWithCredentials(const ISipAccountPtr& account, int expires) {
  if (!active_) return;
  TLockGuard<ISipAccount> lock(*account);
  account->SetBranch(NewBranch());
  account->SetCSeq(NextCSeq());
  std::string text = expires != 0 ? BuildRegisterAuth(*account) : BuildUnregisterAuth(*account);
  SendToServer(*account, text);
}

void TSipEngine::HandleRegisterResponse(const TSipMessage& m) {
  if (!m.IsResponse()) return;
  ISipAccountPtr account = FindAccountByCallId(m.CallId);
  if (!account) return;
  const std::string& status = m.StatusCode;
  bool challenge = status == "401" || status == "407";
  TLockGuard<ISipAccount> lock(*account);
  auto takeChallenge = [&] {
    account->SetChallenge(m.Challenge());
    account->SetRport(m.ViaRport);
    account->SetLocalTag(NewTag());
  };
  // Every way back to "not registered" is reported, so that a refused
  // password or a refused un-registration never leaves the user waiting.
  auto ended = [&] {
    account->SetState(TAccountState::Idle);
    Post(MsgRegistrationEnded, 0, account);
  };
  auto registered = [&] {
    account->SetState(TAccountState::Registered);
    account->SetRemoteTag(m.ToTag);
    Post(MsgRegistered, 0, account);
  };
  switch (account->State()) {
    case TAccountState::RegisterSent:
      if (status == "200") {
        registered();
      } else if (challenge) {
        account->SetState(TAccountState::RegisterAuthSent);
        takeChallenge();
        RegisterWithCredentials(account, account->GetExpires());
      } else if (IsFinalFailure(status)) {
        ended();
      }
      break;
    case TAccountState::RegisterAuthSent:
      if (status == "200") {
        registered();
      } else if (IsFinalFailure(status)) {
        ended();
      }
      break;
    case TAccountState::UnregisterSent:
      if (status == "200") {
        ended();
      } else if (challenge) {
        takeChallenge();
        account->SetState(TAccountState::UnregisterAuthSent);
        RegisterWithCredentials(account, 0);
      } else if (IsFinalFailure(status)) {
        ended();
      }
      break;
    case TAccountState::UnregisterAuthSent:
      if (status == "200" || IsFinalFailure(status)) ended();
      break;
    default:
      break;
  }
}

void TSipEngine::SendMessage(const ISipAccountPtr& account, const std::string& user,
                             const std::string& text) {
  RequireSipText("message target", user, TSipText::Number);
  RequireActive();
  TLockGuard<ISipAccount> lock(*account);
  EnsureServer(*account);
  account->SetCSeq(NextCSeq());
  std::string message = BuildMessage(*account, UriUser(user), text);
  account->SetMessageText(text);  // kept for a retry with credentials
  SendToServer(*account, message);
}

void TSipEngine::SendMessageWithCredentials(const TSipMessage& response, const ISipAccountPtr& account,
                                            const std::string& user) {
  RequireActive();
  TLockGuard<ISipAccount> lock(*account);
  EnsureServer(*account);
  account->SetCSeq(NextCSeq());
  std::string message = BuildMessageAuth(response, *account, user);
  account->SetMessageText("");
  SendToServer(*account, message);
}

void TSipEngine::HandleMessage(const TSipMessage& m) {
  if (!m.IsResponse()) {
    if (m.RequestUser.empty()) return;
    if (ISipAccountPtr account = RequestAccount()) SendToServer(*account, BuildOk(m));
    return;
  }
  ISipAccountPtr account = RequestAccount();
  if (!account) return;
  if (m.StatusCode == "401" || m.StatusCode == "407") {
    if (!account->GetMessageText().empty()) SendMessageWithCredentials(m, account, m.ToUser);
  } else {
    TLockGuard<ISipAccount> lock(*account);
    account->SetMessageText("");
  }
}

}  // namespace qv
