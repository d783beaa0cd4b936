#include "dialogs/account.h"

#include "dialogs/guids.h"
#include "platform/clock.h"
#include "sip/iputils.h"
#include "sip/siptext.h"

namespace qv {

TAccount::TAccount()
    : callId_(NewHexId()), localTag_(NewTag()), branch_(NewBranch()), stateTime_(Now()) {}

void TAccount::SetDisplayName(const std::string& value) {
  RequireSipText("display name", value, TSipText::DisplayName);
  Set(displayName_, value);
}

void TAccount::SetRealms(const std::string& value) {
  // Compared with what challenges say; never sent.
  RequireSipText("realms", value, TSipText::Password);
  Set(realms_, value);
}

std::string TAccount::GetDisplayPrefix() {
  std::string name = GetDisplayName();
  return name.empty() ? std::string() : QuotedDisplayName(name) + " ";
}

std::string TAccount::GetContactAddress() {
  std::lock_guard guard(fields_);
  return publicAddress_.empty() ? localAddress_ : publicAddress_;
}

std::string TAccount::GetContactUri() {
  return "sip:" + GetUserName() + "@" + UriHost(GetContactAddress()) + ":" +
         std::to_string(GetLocalPort()) + UriTransportParam(GetTransport());
}

void TAccount::SetServer(const std::string& value) {
  {
    std::lock_guard guard(fields_);
    // The local address only changes with the server: a repeated value keeps
    // whatever the engine or the user stored since.
    if (value == server_) return;
    server_ = value;
  }
  // The route lookup and the interface walk run outside the field guard:
  // they are system calls, and readers must not wait on them.
  std::string towards = LocalAddressTowards(value);
  if (!towards.empty()) SetLocalAddress(towards);
  // A loopback answer (or none) is useless in Via and Contact for a remote
  // registrar; the machine's own address is the better guess.
  std::string local = GetLocalAddress();
  if (local.empty() || local == "127.0.0.1") SetLocalAddress(LocalHostAddress());
}

}  // namespace qv
