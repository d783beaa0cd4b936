// Digest credentials and the requests of an account: REGISTER, its removal and
// MESSAGE, each with its retry after a 401 or 407.
#include "dialogs/siprequests.h"

#include "dialogs/account.h"
#include "dialogs/guids.h"
#include "dialogs/md5.h"
#include "dialogs/sippieces.h"
#include "sip/sipmessage.h"

namespace qv {

using namespace pieces;

std::string DigestResponse(const TDigest& d) {
  std::string ha1 = Md5Hex(d.UserName + ":" + d.Realm + ":" + d.Password);
  std::string ha2 = d.Qop == "auth-int" ? Md5Hex(d.Method + ":" + d.Uri + ":" + Md5Hex(d.Body))
                                        : Md5Hex(d.Method + ":" + d.Uri);
  if (d.Qop.empty()) return Md5Hex(ha1 + ":" + d.Nonce + ":" + ha2);
  // The system keeps no nonce counter: every authenticated request is the first.
  return Md5Hex(ha1 + ":" + d.Nonce + ":00000001:" + d.Cnonce + ":" + d.Qop + ":" + ha2);
}

namespace pieces {

std::string RegisterAuthName(const std::string& status) {
  return status == "401" ? "Authorization" : "Proxy-Authorization";
}

std::string RequestAuthName(const std::string& status) {
  return status == "401" || status == "403" ? "Authorization" : "Proxy-Authorization";
}

TCredentials Credentials(TQopForm form, const std::string& headerName, const std::string& method,
                         const std::string& uri, const std::string& userName,
                         const std::string& password, const TChallenge& challenge,
                         const std::string& body) {
  const std::string& qop = challenge.Qop;
  const std::string& opaque = challenge.Opaque;
  const std::string quotedQop = form == TQopForm::A ? qop : "\"" + qop + "\"";
  TCredentials result;
  // A server opaque doubles as the client nonce; only forms A and C make one
  // of their own when the server sent none.
  std::string cnonce = opaque;
  std::string params;
  if (qop.empty()) {
    if (form == TQopForm::A || form == TQopForm::B) params = ",opaque=\"\"";
  } else if (!opaque.empty() || form == TQopForm::B || form == TQopForm::D) {
    params = ",qop=" + quotedQop + ",cnonce=\"" + opaque + "\",nc=00000001,opaque=\"" + opaque + "\"";
  } else {
    result.MadeCnonce = cnonce = Md5Hex(NewHexId());
    params = ",cnonce=\"" + cnonce + "\",nc=00000001,qop=" + quotedQop;
  }
  std::string response = DigestResponse(
      {method, uri, userName, challenge.Realm, password, qop, challenge.Nonce, cnonce, body});
  result.Line = headerName + ": Digest username=\"" + userName + "\",realm=\"" + challenge.Realm +
                "\",nonce=\"" + challenge.Nonce + "\",uri=\"" + uri + "\",response=\"" +
                response + "\"" + params + ",algorithm=MD5\r\n";
  return result;
}

ISipAccountPtr AccountOf(ISipCall& call) {
  ISipAccountPtr account = call.GetAccount();
  return account ? account : std::make_shared<TAccount>();
}

}  // namespace pieces

namespace {

// The REGISTER credentials; a client nonce made here is kept in the account's
// opaque field so that the next retry sends the same one.
std::string RegisterCredentials(ISipAccount& a, TQopForm form) {
  TChallenge challenge = a.GetChallenge();
  TCredentials c = Credentials(form, RegisterAuthName(challenge.Status), "REGISTER",
                               "sip:" + a.GetDomain(), a.GetUserName(), a.GetPassword(),
                               challenge, "");
  KeepMadeCnonce(a, c);
  return c.Line;
}

// Lines 1 to 5, common to the four REGISTER forms.
std::string RegisterHead(ISipAccount& a) {
  const std::string domain = a.GetDomain(), user = a.GetUserName(), prefix = a.GetDisplayPrefix();
  std::string s;
  s += "REGISTER sip:" + domain + " SIP/2.0\r\n";
  s += AccountVia(a, a.GetBranch());
  s += "From: " + prefix + "<sip:" + user + "@" + domain + ">;tag=" + a.GetLocalTag() + "\r\n";
  s += "To: " + prefix + "<sip:" + user + "@" + domain + ">\r\n";
  s += "Call-ID: " + a.GetCallId() + "\r\n";
  return s;
}

std::string RegisterCSeq(ISipAccount& a) {
  return "CSeq: " + std::to_string(a.GetCSeq()) + " REGISTER\r\n";
}

// A message text loses one final CRLF (the edit box adds it), no more.
std::string TrimMessageText(const std::string& text) {
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
    return text.substr(0, text.size() - 2);
  return text;
}

std::string MessageFrom(ISipAccount& a) {
  return "From: " + a.GetDisplayPrefix() + "<sip:" + a.GetUserName() + "@" + a.GetDomain() +
         ">;tag=" + a.GetLocalTag() + "\r\n";
}

}  // namespace

std::string BuildRegister(ISipAccount& a) {
  const std::string expires = std::to_string(a.GetExpires());
  std::string s = RegisterHead(a);
  s += RegisterCSeq(a);
  s += "Contact: <" + a.GetContactUri() + ">;expires=" + expires + ";q=0.90\r\n";
  s += kUserAgent;
  s += kAllow;
  s += kMaxForwards;
  s += "Expires: " + expires + "\r\n";
  s += kEmptyContent;
  return s;
}

std::string BuildRegisterAuth(ISipAccount& a) {
  const std::string expires = std::to_string(a.GetExpires());
  std::string s = RegisterHead(a);
  s += kUserAgent;
  s += RegisterCSeq(a);
  s += "Contact: <" + a.GetContactUri() + ">;expires=" + expires + ";q=0.90\r\n";
  s += RegisterCredentials(a, TQopForm::A);
  s += kAllow;
  s += kMaxForwards;
  s += "Expires: " + expires + "\r\n";
  s += kEmptyContent;
  return s;
}

// RFC 3261 10.2.2: only our own binding goes; "*" would remove the user's
// other phones from the registrar too.
static std::string UnregisterContact(ISipAccount& a) { return "Contact: <" + a.GetContactUri() + ">;expires=0\r\n"; }

std::string BuildUnregister(ISipAccount& a) {
  std::string s = RegisterHead(a);
  s += RegisterCSeq(a);
  s += UnregisterContact(a);
  s += kAllow;
  s += kMaxForwards;
  s += "Expires: 0\r\n";
  s += kEmptyContent;
  return s;
}

std::string BuildUnregisterAuth(ISipAccount& a) {
  std::string s = RegisterHead(a);
  s += RegisterCSeq(a);
  s += UnregisterContact(a);
  s += RegisterCredentials(a, TQopForm::B);
  s += kMaxForwards;
  s += "Expires: 0\r\n";
  s += kEmptyContent;
  return s;
}

std::string BuildMessage(ISipAccount& a, const std::string& target, const std::string& text) {
  const std::string domain = a.GetDomain();
  // Every message is a transaction and a dialog of its own; neither the branch
  // nor the Call-ID is kept.
  std::string s;
  s += "MESSAGE sip:" + target + "@" + domain + " SIP/2.0\r\n";
  s += AccountVia(a, NewBranch());
  s += MessageFrom(a);
  s += "To: <sip:" + target + "@" + domain + ">\r\n";
  s += "Call-ID: " + NewHexId() + "\r\n";
  s += "CSeq: " + std::to_string(a.GetCSeq()) + " MESSAGE\r\n";
  s += "Contact: <" + a.GetContactUri() + ">\r\n";
  s += kAllow;
  s += kMaxForwards;
  s += "Content-Type: text/plain\r\n";
  s += BodyLength(TrimMessageText(text));
  return s;
}

std::string BuildMessageAuth(const TSipMessage& response, ISipAccount& a,
                             const std::string& target) {
  const std::string domain = a.GetDomain();
  const std::string uri = "sip:" + target + "@" + domain;
  TChallenge challenge = response.Challenge();
  TCredentials credentials = Credentials(TQopForm::D, RequestAuthName(challenge.Status), "MESSAGE",
                                         uri, a.GetUserName(), a.GetPassword(), challenge, "");
  std::string s;
  s += "MESSAGE " + uri + " SIP/2.0\r\n";
  s += AccountVia(a, NewBranch());  // a new transaction, RFC 3261 8.1.3.5
  s += MessageFrom(a);
  s += "To: <" + uri + ">\r\n";
  // The Call-ID of the first attempt, which the challenge echoes: RFC 3261
  // 8.1.3.5 wants a request retried with credentials to keep the Call-ID, To
  // and From of the one that was challenged, with a higher CSeq. The account's
  // Call-ID belongs to its REGISTERs and would mix the message into the
  // registration's Call-ID.
  s += "Call-ID: " + response.CallId + "\r\n";
  s += response.RecordRouteHeaders;
  s += "CSeq: " + std::to_string(a.GetCSeq()) + " MESSAGE\r\n";
  s += kAllow;
  s += "Contact: <" + a.GetContactUri() + ">\r\n";
  s += kMaxForwards;
  s += credentials.Line;
  s += "Content-Type: text/plain\r\n";
  s += BodyLength(TrimMessageText(a.GetMessageText()));
  return s;
}

}  // namespace qv
