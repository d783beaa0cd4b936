// Reading Contact values (RFC 3261 20.10): the expiry a registrar granted
// to one binding. Pure text functions; any thread.
#pragma once

#include <string>
#include <vector>

namespace qv {

// The URI of one Contact entry: inside the angle brackets when there are
// any (with its parameters), else up to the first ";".
std::string ContactEntryUri(const std::string& entry);

// Splits Contact values on the commas that separate entries (not those in
// angle brackets or quoted strings).
std::vector<std::string> ContactEntries(const std::vector<std::string>& values);

// The ";expires=" of the entry whose URI is `uri` (compared without regard to
// case, RFC 3261 10.2.4: a registrar lists every binding of the user in its
// 200, each with its own expiry); -1 when no entry is ours or it has none.
int ContactExpires(const std::vector<std::string>& values, const std::string& uri);

// Where a SIP URI (bare, or a name-addr in angle brackets) sends a request:
// its host, bare (an IPv6 address without brackets), and its port, 5060
// (5061 for sips) when none is written. Host "" for anything that is not a
// sip or sips URI with a usable host and port.
struct TUriHop {
  std::string Host;
  int Port = 0;
};
TUriHop UriHop(const std::string& uriOrNameAddr);

}  // namespace qv
