#include "dialogs/accounts.h"

#include "sip/stun.h"

namespace qv {

ISipAccountPtr TSipAccounts::FindByCallId(const std::string& key) {
  return FindIf([&](const ISipAccountPtr& account) {
    std::string callId = account->GetCallId();
    // An empty key would match every short Call-ID through the STUN form.
    return callId == key || (!key.empty() && StunTransactionId(callId) == key);
  });
}

}  // namespace qv
