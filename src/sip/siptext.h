// What user-given text may go into a SIP message, and how. Numbers, transfer
// targets, user names, domains, display names and passwords reach the wire
// from a text field or an embedder's call; a CR or LF among them would write
// header lines of its own, a blank or an angle bracket would break the URI.
// The checks raise qv::Exception with a text that names the field and the
// offending character, and the callers (the component, the engine) run them
// before anything is sent.
#pragma once

#include <string>

namespace qv {

enum class TSipText {
  User,         // an account's user name: the user part of a URI (RFC 3261 25.1)
  Number,       // a dialled user part: as User, and '#' (sent escaped)
  Target,       // a Number, or Number@host[:port]
  Host,         // host[:port]: a name, an IPv4 address or an [IPv6] address
  DisplayName,  // any text without control characters; quoted when sent
  Password,     // anything but NUL, CR and LF
};

// Raises when `value` cannot be placed in a message as `kind`. `what` names
// the field in the error text ("number", "transfer target", ...).
void RequireSipText(const std::string& what, const std::string& value, TSipText kind);

// A user part as it goes into a URI: '#' (common in feature codes) is
// percent-escaped, RFC 3261 19.1.2; everything else is sent as given.
std::string UriUser(const std::string& user);

// A display name as a quoted string, RFC 3261 25.1: '"' and '\' escaped.
std::string QuotedDisplayName(const std::string& name);

}  // namespace qv
