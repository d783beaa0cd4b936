#include "dialogs/siprequests.h"

#include "dialogs/md5.h"

namespace qv {

std::string DigestResponse(const std::string& method, const std::string& uriUser,
                           const std::string& uriHost, const std::string& userName,
                           const std::string& realm, const std::string& password,
                           const std::string& qop, const std::string& nonce,
                           const std::string& cnonce, const std::string& body) {
  std::string uri = uriUser.empty() ? "sip:" + uriHost : "sip:" + uriUser + "@" + uriHost;
  std::string ha1 = Md5Hex(userName + ":" + realm + ":" + password);
  std::string ha2 = qop == "auth-int" ? Md5Hex(method + ":" + uri + ":" + Md5Hex(body))
                                      : Md5Hex(method + ":" + uri);
  if (qop.empty()) return Md5Hex(ha1 + ":" + nonce + ":" + ha2);
  // The system keeps no nonce counter: every authenticated request is the first.
  return Md5Hex(ha1 + ":" + nonce + ":00000001:" + cnonce + ":" + qop + ":" + ha2);
}

}  // namespace qv
