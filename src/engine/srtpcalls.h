// SRTP in the engine's call handling: what each offer and answer does to a
// call's SRTP (sip/sdes.h decides; these apply it to calls and accounts).
//
// Keys travel in the SDP, so whoever reads the signalling reads them: they go
// out only over TLS, unless the account allows otherwise
// (ISipAccount::GetSrtpKeysWithoutTls).
//
// Threads: whoever runs the engine operation, under the call's lock.
#pragma once

#include <string>

#include "sip/sipints.h"

namespace qv {

class TSipMessage;

// Raised by an outgoing call whose account wants SRTP while its keys may not go out.
inline const std::string kSrtpNeedsTls =
    "SRTP is mandatory for this account, and its keys are sent only over TLS";

// The account may put SRTP keys in its SDP.
bool SrtpKeysAllowed(ISipAccount& account);

// Before an INVITE or a re-INVITE of ours: what the offer says about SRTP.
// Raises kSrtpNeedsTls when the call cannot be made as the account wants.
void PrepareSrtpOffer(ISipCall& call, ISipAccount& account);

// A peer's offer (`m` carries SDP). False: refuse it with 488 and leave the
// call as it is. True: `srtp` (started from the call's, or empty for a new
// call) is what the call takes with the offer, and what the answer says.
bool ReadSrtpOffer(const TSipMessage& m, ISipAccount& account, TCallSrtp& srtp);

// A peer's answer to our offer (`m` carries SDP): the call's SRTP from now on.
// False: the call must not go on (mandatory SRTP refused, or an answer whose
// keys cannot be used); the call's SRTP is then left as it was.
bool ApplySrtpAnswer(ISipCall& call, ISipAccount& account, const TSipMessage& m);

}  // namespace qv
