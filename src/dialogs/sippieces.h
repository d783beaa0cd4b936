// Pieces shared by the request and response builders (internal to siprequests).
#pragma once

#include <string>

#include "sip/iputils.h"
#include "sip/sipints.h"

namespace qv::pieces {

inline const std::string kAllow =
    "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n";
inline const std::string kMaxForwards = "Max-Forwards: 20\r\n";
inline const std::string kUserAgent = "User-Agent: Corvale 2.99\r\n";
inline const std::string kEmptyContent = "Content-Length: 0\r\n\r\n";

// Content-Length counts the bytes of the body exactly as sent.
inline std::string BodyLength(const std::string& body) {
  return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Via always names the local address: the public address learned from STUN
// belongs in Contact and SDP only, the registrar fills in what it saw.
inline std::string AccountVia(ISipAccount& account, const std::string& branch) {
  return "Via: SIP/2.0/UDP " + UriHost(account.GetLocalAddress()) + ":" +
         std::to_string(account.GetLocalPort()) + ";rport;branch=" + branch + "\r\n";
}

inline std::string CallContact(ISipAccount& account) {
  return "Contact: <sip:" + account.GetUserName() + "@" + UriHost(account.GetContactAddress()) + ":" +
         std::to_string(account.GetLocalPort()) + ">\r\n";
}

// The network and address type and the address of an SDP o= or c= line
// (RFC 4566 5.2, 5.7): IP6 for an IPv6 address.
inline std::string SdpAddress(const std::string& address) {
  return (address.find(':') == std::string::npos ? "IN IP4 " : "IN IP6 ") + address;
}

// How the qop parameters of a credentials line are written:
// A (REGISTER): bare qop; a client nonce is made when qop comes without opaque.
// B (un-REGISTER): quoted qop; an empty opaque is sent as it is.
// C (INVITE): as B, but a client nonce is made when qop comes without opaque.
// D (MESSAGE, CANCEL, REFER): as B, but nothing at all without qop.
enum class TQopForm { A, B, C, D };

struct TCredentials {
  std::string Line;        // the whole header line, CRLF included
  std::string MadeCnonce;  // the client nonce made for forms A and C, else empty
};

// A client nonce made for a challenge is kept in the challenge's opaque, so
// that a retry sends the same one.
template <class Holder>
void KeepMadeCnonce(Holder& holder, const TCredentials& credentials) {
  if (credentials.MadeCnonce.empty()) return;
  TChallenge challenge = holder.GetChallenge();
  challenge.Opaque = credentials.MadeCnonce;
  holder.SetChallenge(challenge);
}

// REGISTER answers 401 with Authorization and everything else with
// Proxy-Authorization; the other requests also take 403 as a 401.
std::string RegisterAuthName(const std::string& status);
std::string RequestAuthName(const std::string& status);

// One credentials line. `uri` is both the uri parameter and the digest-uri that
// is hashed: a server recomputes the response over the uri parameter, so the
// two must be the same text (RFC 2617 3.2.2.5).
TCredentials Credentials(TQopForm form, const std::string& headerName, const std::string& method,
                         const std::string& uri, const std::string& userName,
                         const std::string& password, const TChallenge& challenge,
                         const std::string& body);

// A call's account; a call without one builds with empty account values.
ISipAccountPtr AccountOf(ISipCall& call);

}  // namespace qv::pieces
