// The engine's time-outs. Tick (the consumer's thread, about once a second):
// registration refresh, retries and keep-alive, the STUN and REGISTER
// waits, the 120 s call set-up limit, the SIP INFO digit in flight, and the
// calls that ended but stayed listed. RunTimers (the transport thread, every
// 50 ms): the transactions' retransmissions and time-outs, and the retry of a
// re-INVITE after a 491. HandleTransactionFailure: what a transaction that
// ended without its answer means for its call or account.

#include "dialogs/guids.h"
#include "dialogs/siprequests.h"
#include "engine/engineutil.h"
#include "engine/sipengine.h"
#include "platform/clock.h"
#include "platform/lockguard.h"
#include "platform/textutil.h"

namespace qv {

namespace {

constexpr int64_t kSetUpLimitMs = 120000;  // an unanswered call ends with 408
constexpr int64_t kInfoWaitMs = 2000;      // a digit waits this long for the INFO before it
// An ended call still listed for the answer to its BYE or CANCEL goes after
// this at the latest: the transaction has given up by then (64*T1).
constexpr int64_t kEndedCallLingerMs = 64 * kT1Ms + 5000;

}  // namespace

void TSipEngine::Tick() {
  ReapStreams(false);
  const int64_t now = NowMs();
  {
    TLockGuard<TSipAccounts> listLock(accounts_);
    for (int i = 0; i < accounts_.Count(); ++i) {
      ISipAccountPtr account = accounts_.Item(i);
      TLockGuard<ISipAccount> lock(*account);
      try {
        RegistrationTimers(account, now);
      } catch (...) {
        // One account's failed send must not stop the others' time-outs.
      }
    }
  }
  TLockGuard<TSipCalls> listLock(calls_);
  std::vector<ISipCallPtr> expired, ended;
  for (int i = 0; i < calls_.Count(); ++i) {
    ISipCallPtr call = calls_.Item(i);
    TLockGuard<ISipCall> lock(*call);
    // An INFO whose transaction is still retrying must not hold back the
    // digits after it for long.
    ISipCall::TInfoDtmf& info = call->InfoDtmf();
    if (info.inFlightCSeq != 0 && now - info.sentAt > kInfoWaitMs) {
      try {
        SendNextDtmfInfo(call);
      } catch (...) {
        // As with the accounts: the other calls' time-outs still run.
      }
    }
    const ISipCall::TDialogState& dialog = call->Dialog();
    TCallState state = call->State();
    if (state == TCallState::Idle) {
      // Ended but still listed: a BYE or CANCEL whose answer never came, or
      // an incoming call nobody offered. Nothing will remove them otherwise.
      if (dialog.endedMs != 0 ? now - dialog.endedMs > kEndedCallLingerMs : now - dialog.startMs > kSetUpLimitMs)
        ended.push_back(call);
      continue;
    }
    if (now - dialog.startMs <= kSetUpLimitMs || dialog.confirmed) continue;
    if (state == TCallState::InviteSent || state == TCallState::InviteAuthSent || state == TCallState::Ringing)
      expired.push_back(call);
  }
  for (const ISipCallPtr& call : expired) {
    // An outgoing call still rings at the far end: CANCEL it there. It stays
    // listed (ended) until its 487 is acknowledged, or the next sweep.
    bool outgoing = !call->GetIncoming();
    call->SetEndStatus("408");
    if (outgoing) {
      try {
        HangUp(call);
      } catch (...) {
      }
    }
    if (!outgoing) {
      // Not to be answered any more; the caller, whose phone still rings,
      // is told so rather than left to its own timer.
      TLockGuard<ISipCall> lock(*call);
      if (!call->Dialog().ended) {
        call->Dialog().ended = true;
        try {
          SendResponse(BuildInviteResponse(*call, "480 Temporarily Unavailable"));
        } catch (...) {
        }
      }
    }
    call->SetState(TCallState::Idle);
    if (!outgoing) DropCall(call);
  }
  for (const ISipCallPtr& call : ended) DropCall(call);
}

void TSipEngine::RunTimers() {
  transactions_->RunTimers();
  int64_t due = dialogTimerAt_.load();
  if (due != 0 && NowMs() >= due) RunDialogTimers();
}

// The re-INVITEs to send again after a 491, and when the next one is due.
void TSipEngine::RunDialogTimers() {
  dialogTimerAt_ = 0;
  const int64_t now = NowMs();
  int64_t next = 0;
  TLockGuard<TSipCalls> listLock(calls_);
  for (int i = 0; i < calls_.Count(); ++i) {
    ISipCallPtr call = calls_.Item(i);
    TLockGuard<ISipCall> lock(*call);
    ISipCall::TDialogState& dialog = call->Dialog();
    if (dialog.glareRetryAt == 0) continue;
    if (dialog.ended) {
      dialog.glareRetryAt = 0;
      continue;
    }
    if (now < dialog.glareRetryAt) {
      if (next == 0 || dialog.glareRetryAt < next) next = dialog.glareRetryAt;
      continue;
    }
    try {
      call->SetBranch(NewBranch());
      SendReInvite(call);
    } catch (...) {
      RestoreAfterReInvite(*call);
    }
  }
  if (next != 0) {
    int64_t due = dialogTimerAt_.load();
    while ((due == 0 || next < due) && !dialogTimerAt_.compare_exchange_weak(due, next)) {
    }
  }
}

void TSipEngine::HandleTransactionFailure(const TTransactionFailure& f) {
  const std::string& method = f.Method;
  if (method == "REGISTER") {
    ISipAccountPtr account = FindAccountByCallId(f.CallId);
    if (!account) return;
    TLockGuard<ISipAccount> lock(*account);
    ISipAccount::TRegistration& reg = account->Registration();
    if (reg.cseq != f.CSeq) return;
    switch (account->State()) {
      case TAccountState::Registered:
        if (reg.refreshing) RefreshFailed(account, {TRegistrationEnd::NoAnswer, 0});
        break;
      case TAccountState::RegisterSent:
      case TAccountState::RegisterAuthSent:
        EndRegistration(account, {TRegistrationEnd::NoAnswer, 0});
        break;
      case TAccountState::UnregisterSent:
      case TAccountState::UnregisterAuthSent:
        EndRegistration(account, {TRegistrationEnd::Unregistered, 0});
        break;
      default:
        break;
    }
    return;
  }
  if (method == "MESSAGE") return;  // the text waits for a challenge that never comes; the next message replaces it
  ISipCallPtr call = FindCallByCallId(f.CallId);
  if (!call) return;
  if (method == "BYE" || method == "CANCEL") {
    // Nobody answered our goodbye: the call is over all the same.
    bool ours;
    {
      TLockGuard<ISipCall> lock(*call);
      ours = call->Dialog().ended;
    }
    if (ours) DropCall(call);
    return;
  }
  if (method == "INFO") {
    TLockGuard<ISipCall> lock(*call);
    if (call->InfoDtmf().inFlightCSeq == f.CSeq) SendNextDtmfInfo(call);
    return;
  }
  if (method == "REFER") {
    TLockGuard<ISipCall> lock(*call);
    TCallState state = call->State();
    if ((state == TCallState::ReferSent || state == TCallState::ReferAuthSent) && call->GetLocalCSeq() == f.CSeq)
      call->SetState(TCallState::Connected);
    return;
  }
  if (method != "INVITE") return;
  if (f.Kind == TTransactionFailure::TKind::NoAck) {
    // RFC 3261 13.3.1.4: our 2xx was never acknowledged; the dialog ends.
    EndWithBye(call, "408");
    return;
  }
  std::string status;
  {
    TLockGuard<ISipCall> lock(*call);
    ISipCall::TDialogState& dialog = call->Dialog();
    if (dialog.ended) return;
    if (dialog.confirmed) {
      if (dialog.reInviteCSeq != f.CSeq) return;
      // 12.2.1.2: a re-INVITE without any answer ends the dialog.
      RestoreAfterReInvite(*call);
      status = "408";
    } else if (call->GetLocalCSeq() == f.CSeq && !call->GetIncoming()) {
      // Timer B: nobody answered our INVITE at all.
      dialog.ended = true;
      StopMedia(*call);
      call->SetEndStatus("408");
      call->SetState(TCallState::Idle);
    } else {
      return;
    }
  }
  if (status.empty())
    DropCall(call);
  else
    EndWithBye(call, status);
}

}  // namespace qv
