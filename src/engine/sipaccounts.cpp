// Accounts: adding one, finding its server (sipregistration.cpp registers
// it), and instant messages (MESSAGE) with their retry after a challenge.

#include "dialogs/account.h"
#include "dialogs/guids.h"
#include "dialogs/siprequests.h"
#include "engine/engineutil.h"
#include "engine/sipengine.h"
#include "platform/clock.h"
#include "platform/lockguard.h"
#include "platform/textutil.h"
#include "sip/dnssrv.h"
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
  // "host:port", where the host may be an IPv6 address in brackets (which
  // the domain keeps: it is the host of our URIs).
  size_t colon = PortColon(server);
  account->SetDomain(server.substr(0, colon));
  account->SetServerPort(colon == std::string::npos ? 5060
                                                    : ToIntDef(server.substr(colon + 1, 10), 5060));
  account->Registration().portGiven = colon != std::string::npos;
  accounts_.Add(account);
  return account;
}

// RFC 3263: a name given without a port is looked up by SRV first (the
// transport's own service: _sips._tcp for TLS, RFC 3263 4.1). On the
// user's thread, bounded; the transport thread never resolves.
bool TSipEngine::ResolveServer(ISipAccount& account) {
  std::string current = account.GetServer();
  if (!current.empty() && IsIpAddress(current)) return true;  // a name kept from a failure is tried again
  std::string proxy = account.GetProxy();
  std::string name = proxy.empty() ? account.GetDomain() : proxy;
  int port = account.GetServerPort();
  bool portGiven = proxy.empty() && account.Registration().portGiven;
  size_t colon = PortColon(name);
  if (colon != std::string::npos) {
    port = ToIntDef(name.substr(colon + 1), port);
    name = name.substr(0, colon);
    portGiven = true;
  }
  // RFC 3261 19.1.2: TLS has its own default port, unless SRV names another.
  const TSipTransport transport = account.GetTransport();
  if (!portGiven && port == 5060 && transport == TSipTransport::Tls) port = 5061;
  std::string address;
  if (!ResolveSipServer(name, portGiven, address, port, 5000, SrvService(transport))) {
    // Kept as the name: a send to it raises "IP address is incorrect", as
    // it always did; a registration ends with its reason instead.
    account.SetServer(name);
    return false;
  }
  account.SetServerPort(port);
  account.SetServer(address);
  return true;
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

// On the transport thread, where no name is looked up (the answer goes by
// the request's Via anyway): an account never prepared gets its server only
// when that is an address already, and a local address in any case, since
// our Contact and SDP need one.
ISipAccountPtr TSipEngine::RequestAccount() {
  ISipAccountPtr account = accounts_.FirstAccount();
  if (!account) return account;
  if (account->GetServer().empty()) {
    std::string proxy = account->GetProxy();
    std::string name = proxy.empty() ? account->GetDomain() : proxy;
    if (IsIpAddress(name.substr(0, PortColon(name)))) ResolveServer(*account);
  }
  if (account->GetLocalAddress().empty()) account->SetLocalAddress(LocalHostAddress());
  if (account->GetLocalPort() == 0) account->SetLocalPort(SipPort());
  return account;
}

ISipAccountPtr TSipEngine::FindAccountByCallId(const std::string& callId) {
  return accounts_.FindByCallId(callId);
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
  SendRequest(*account, message);
}

void TSipEngine::SendMessageWithCredentials(const TSipMessage& response, const ISipAccountPtr& account,
                                            const std::string& user) {
  RequireActive();
  TLockGuard<ISipAccount> lock(*account);
  EnsureServer(*account);
  account->SetCSeq(NextCSeq());
  std::string message = BuildMessageAuth(response, *account, user);
  account->SetMessageText("");
  SendRequest(*account, message);
}

void TSipEngine::HandleMessage(const TSipMessage& m) {
  if (!m.IsResponse()) {
    if (m.RequestUser.empty()) return;
    if (RequestAccount()) SendResponse(BuildOk(m));
    return;
  }
  ISipAccountPtr account = RequestAccount();
  if (!account) return;
  if ((m.StatusCode == "401" || m.StatusCode == "407") && RealmAllowed(*account, m, true)) {
    if (!account->GetMessageText().empty()) SendMessageWithCredentials(m, account, m.ToUser);
  } else {
    TLockGuard<ISipAccount> lock(*account);
    account->SetMessageText("");
  }
}

}  // namespace qv
