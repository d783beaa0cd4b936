// What keeps the engine safe among peers that do not play by the rules:
// requests inside a dialog must belong to it (RFC 3261 12.2.2), a CANCEL must
// name the INVITE it cancels (9.2), a new INVITE passes the rate, user and
// call limits before anything is kept, and the password answers only the
// realms the account trusts. Transport thread, but for the setters.
#include <algorithm>

#include "dialogs/siprequests.h"
#include "engine/engineutil.h"
#include "engine/sipengine.h"
#include "platform/lockguard.h"
#include "platform/textutil.h"
#include "sip/sipmessage.h"
#include "sip/via.h"

namespace qv {

namespace {

// Past this many source addresses the table forgets those whose second is over.
constexpr size_t kRateTableSoftLimit = 4096;

bool Listed(const std::string& list, const std::string& realm) {
  size_t i = 0;
  while (i < list.size()) {
    size_t end = list.find_first_of(", \t", i);
    if (end == std::string::npos) end = list.size();
    if (end > i && SameTextIgnoringCase(list.substr(i, end - i), realm)) return true;
    i = end + 1;
  }
  return false;
}

}  // namespace

void TSipEngine::NoteDatagramSource(const std::string& host, int port) {
  datagramHost_ = host;
  datagramPort_ = port;
}

bool TSipEngine::FromAccountServer(ISipAccount& account) {
  return !datagramHost_.empty() && datagramHost_ == account.GetServer() && datagramPort_ == account.GetServerPort();
}

// The request leaves no transaction behind: the answer goes once, where the
// top Via says, and a repeat of the request is judged again.
void TSipEngine::RefuseStatelessly(const TSipMessage& m, const std::string& status) {
  transactions_->Forget(m);
  SendResponse(BuildResponse(m, status));
}

// Under the call's lock. Our tag is the request's To tag, the peer's its
// From tag, whichever side made the call. Before the 2xx (an early dialog)
// a To tag may still be missing, since our provisional answers carry none.
bool TSipEngine::AcceptInDialog(const ISipCallPtr& call, const TSipMessage& m) {
  const bool confirmed = call->Dialog().confirmed;
  bool ours = m.FromTag == call->GetRemoteTag() &&
              (m.ToTag == call->GetLocalTag() || (!confirmed && m.ToTag.empty()));
  if (!ours) {
    SendResponse(BuildResponse(m, "481 Call/Transaction Does Not Exist"));
    return false;
  }
  const int cseq = ToIntDef(m.CSeqNumber, -1);
  const int last = call->GetRemoteCSeq();
  if (cseq < 0 || (last != 0 && cseq < last)) {
    SendResponse(BuildResponse(m, "500 Server Internal Error"));
    return false;
  }
  call->SetRemoteCSeq(cseq);
  return true;
}

// A request that names a dialog we do not have (it carries a To tag).
void TSipEngine::NoSuchDialog(const TSipMessage& m) {
  if (!m.ToTag.empty() && RequestAccount()) SendResponse(BuildResponse(m, "481 Call/Transaction Does Not Exist"));
}

bool TSipEngine::CancelMatches(ISipCall& call, const TSipMessage& m) {
  const ISipCall::TDialogState& dialog = call.Dialog();
  return call.GetIncoming() && ToIntDef(m.CSeqNumber, -1) == dialog.inviteCSeq &&
         ParseTopVia(m.ViaHeaders).Branch == dialog.inviteBranch;
}

// Under the call list's lock. The checks that come before a call is made;
// each refusal keeps nothing.
bool TSipEngine::AdmitNewInvite(const TSipMessage& m, ISipAccount& account) {
  const int limit = inviteRateLimit_;
  if (limit > 0) {
    const int64_t now = NowMs();
    if (inviteRates_.size() > kRateTableSoftLimit) {
      std::erase_if(inviteRates_, [now](const auto& entry) { return now - entry.second.start >= 1000; });
      // A flood from ever new addresses: starting afresh costs at most one
      // second's worth of INVITEs per address.
      if (inviteRates_.size() > kRateTableSoftLimit) inviteRates_.clear();
    }
    TInviteWindow& window = inviteRates_[datagramHost_];
    if (now - window.start >= 1000) window = {now, 0};
    if (++window.count > limit) {
      RefuseStatelessly(m, "503 Service Unavailable");
      return false;
    }
  }
  // Scanners dial 100, 1000, ...: only our own user rings, unless our
  // server sends the call (it may put the dialled number there).
  const std::string user = account.GetUserName();
  if (m.RequestUser != user && !FromAccountServer(account)) {
    RefuseStatelessly(m, "404 Not Found");
    return false;
  }
  if (CallsHoldingALine() >= maxCalls_) {
    RefuseStatelessly(m, "486 Busy here");
    return false;
  }
  return true;
}

// Under the call list's lock. A call hung up stays listed until its BYE is
// answered (half a minute when the answers are lost) but holds no line: it
// must not keep the user's next call out.
int TSipEngine::CallsHoldingALine() {
  int count = 0;
  for (int i = 0; i < calls_.Count(); ++i) {
    ISipCallPtr call = calls_.Item(i);
    TLockGuard<ISipCall> lock(*call);
    if (!call->Dialog().ended) ++count;
  }
  return count;
}

// Under the account's or the call's lock, for the 401/407 in `m`. Only a
// challenge to a request outside any dialog (REGISTER, a new INVITE, MESSAGE)
// may teach the realm: inside a call the far end itself may be the one who
// asks, and the proxy's realm is known by then.
bool TSipEngine::RealmAllowed(ISipAccount& account, const TSipMessage& m, bool mayLearn) {
  const std::string& realm = m.AuthRealm;
  const std::string learned = account.GetLearnedRealm();
  if (!learned.empty() && SameTextIgnoringCase(realm, learned)) return true;
  if (SameTextIgnoringCase(realm, account.GetDomain()) || Listed(account.GetRealms(), realm)) return true;
  if (mayLearn && learned.empty() && FromAccountServer(account)) {
    account.SetLearnedRealm(realm);
    return true;
  }
  Log("challenge for realm \"" + realm + "\" not answered: the account does not trust it");
  return false;
}

void TSipEngine::SetMaxCalls(int value) { maxCalls_ = std::max(0, value); }

void TSipEngine::SetInviteRateLimit(int value) { inviteRateLimit_ = std::max(0, value); }

}  // namespace qv
