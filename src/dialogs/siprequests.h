// The text of everything the user agent sends in SIP, and the Digest
// computation that goes into it.
//
// Each builder reads stored values from an account, a call or a received
// message and returns the complete datagram text. Builders never send, never
// change dialog state and never advance a CSeq; the only values they store are
// the client nonce that the REGISTER and INVITE credential builders make (kept
// in the opaque of the holder's challenge) and the credentials line of BuildInviteAuth (kept
// in the call's AuthHeader). They run on the thread of the engine operation
// that calls them; the accessors they use are safe from any thread.
#pragma once

#include <string>

#include "sip/sipints.h"

namespace qv {

class TSipMessage;

// What goes into a Digest response. `Uri` is the digest-uri as sent in the
// credentials line; the body enters HA2 only for qop "auth-int" (exact
// comparison).
struct TDigest {
  std::string Method, Uri, UserName, Realm, Password, Qop, Nonce, Cnonce, Body;
};

// RFC 2617 Digest response as 32 lower-case hex digits.
std::string DigestResponse(const TDigest& digest);

// Registration (the account's stored Branch, LocalTag, CallId and CSeq).
std::string BuildRegister(ISipAccount& account);
std::string BuildRegisterAuth(ISipAccount& account);
std::string BuildUnregister(ISipAccount& account);
std::string BuildUnregisterAuth(ISipAccount& account);

// Instant messages to target@Domain. BuildMessageAuth answers the 401/407
// `response` to the first attempt and sends the account's MessageText again.
std::string BuildMessage(ISipAccount& account, const std::string& target, const std::string& text);
std::string BuildMessageAuth(const TSipMessage& response, ISipAccount& account,
                             const std::string& target);

// Requests of a call. `payloadTypes` is the text placed between "RTP/AVP " and
// " 101" in the SDP offer, e.g. "0 8 3".
std::string BuildInvite(ISipCall& call, const std::string& payloadTypes);
std::string BuildInviteAuth(ISipCall& call, const std::string& payloadTypes);
std::string BuildInfoDtmf(ISipCall& call, const std::string& digit);
std::string BuildCancel(ISipCall& call);
std::string BuildRefer(ISipCall& call, const std::string& target);
std::string BuildReferAuth(ISipCall& call, const std::string& target);
std::string BuildBye(ISipCall& call);
std::string BuildAck(ISipCall& call, const TSipMessage& response);  // ACK of a 2xx
std::string BuildAckFromResponse(const TSipMessage& response);      // ACK of a non-2xx

// Responses to the call's INVITE.
std::string BuildInviteOk(ISipCall& call);  // 200 OK with the SDP answer
std::string BuildRedirect(ISipCall& call, const std::string& target);
std::string BuildInviteResponse(ISipCall& call, const std::string& status);  // e.g. "180 Ringing"

// Responses that echo a received request.
std::string BuildResponse(const TSipMessage& request, const std::string& status);
std::string BuildOk(const TSipMessage& request);
std::string BuildOptionsOk(const TSipMessage& request);
std::string BuildNotAcceptable(const TSipMessage& request);

}  // namespace qv
