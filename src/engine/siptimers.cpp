// Tick: the time-outs of the signalling (STUN, REGISTER, refresh, call
// set-up, the SIP INFO digit in flight). The consumer's thread, about once a
// second.

#include "engine/engineutil.h"
#include "engine/sipengine.h"
#include "platform/clock.h"
#include "platform/lockguard.h"

namespace qv {

void TSipEngine::Tick() {
  const double now = Now();
  {
    TLockGuard<TSipAccounts> listLock(accounts_);
    for (int i = 0; i < accounts_.Count(); ++i) {
      ISipAccountPtr account = accounts_.Item(i);
      TLockGuard<ISipAccount> lock(*account);
      double elapsed = (now - account->GetStateTime()) / kOneSecond;
      try {
        switch (account->State()) {
          case TAccountState::StunSent:
            if (elapsed > 3) Register(account);  // the STUN answer did not come
            break;
          case TAccountState::RegisterSent:
          case TAccountState::RegisterAuthSent:
          case TAccountState::UnregisterSent:
          case TAccountState::UnregisterAuthSent:  // a lost answer would leave it there for good
            if (elapsed > 20) {
              account->SetState(TAccountState::Idle);
              Post(MsgRegistrationEnded, 0, account);
            }
            break;
          case TAccountState::Registered:
            if (elapsed > 600) Register(account);  // refresh
            break;
          default:
            break;
        }
      } catch (...) {
        // One account's failed send must not stop the others' time-outs.
      }
    }
  }
  TLockGuard<TSipCalls> listLock(calls_);
  std::vector<ISipCallPtr> expired, ended;
  for (int i = 0; i < calls_.Count(); ++i) {
    ISipCallPtr call = calls_.Item(i);
    {
      // Nothing is retransmitted: an INFO or its answer that was lost must
      // not hold back the digits after it for good.
      TLockGuard<ISipCall> lock(*call);
      ISipCall::TInfoDtmf& info = call->InfoDtmf();
      if (info.inFlightCSeq != 0 && (now - info.sentAt) / kOneSecond > 2) {
        try {
          SendNextDtmfInfo(call);
        } catch (...) {
          // As with the accounts: the other calls' time-outs still run.
        }
      }
    }
    TCallState state = call->State();
    if ((now - call->GetStartTime()) / kOneSecond <= 120) continue;
    if (state == TCallState::InviteSent || state == TCallState::InviteAuthSent || state == TCallState::Ringing) expired.push_back(call);
    // Ended but still listed: a CANCEL whose 487 never came, or an incoming
    // call nobody offered. Nothing will ever remove them otherwise.
    if (state == TCallState::Idle) ended.push_back(call);
  }
  for (const ISipCallPtr& call : expired) {
    // An outgoing call still rings at the far end: CANCEL it there. It stays
    // listed (ended) until its 487 is acknowledged, or the next sweep.
    bool outgoing = !call->GetIncoming();
    if (outgoing) {
      try {
        HangUp(call);
      } catch (...) {
      }
    }
    call->SetState(TCallState::Idle);
    call->SetEndStatus("408");
    if (!outgoing) DropCall(call);
  }
  for (const ISipCallPtr& call : ended) DropCall(call);
}

}  // namespace qv
