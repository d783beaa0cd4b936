// The text of everything the user agent sends in SIP, and the Digest
// computation that goes into it.
#pragma once

#include <string>

namespace qv {

// RFC 2617 Digest response as 32 lower-case hex digits. The hashed URI is
// "sip:" + uriUser + "@" + uriHost, or "sip:" + uriHost when uriUser is empty.
// The body enters HA2 only for qop "auth-int" (exact comparison).
std::string DigestResponse(const std::string& method, const std::string& uriUser,
                           const std::string& uriHost, const std::string& userName,
                           const std::string& realm, const std::string& password,
                           const std::string& qop, const std::string& nonce,
                           const std::string& cnonce, const std::string& body);

}  // namespace qv
