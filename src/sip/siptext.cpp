#include "sip/siptext.h"

#include <cstdio>
#include <cstring>

#include "platform/errors.h"

namespace qv {

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool IsAlnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// unreserved / user-unreserved, plus '#' which UriUser escapes.
bool IsUserChar(unsigned char c) {
  return IsAlnum(c) || std::strchr("-_.!~*'()&=+$,;?/#", c) != nullptr;
}

bool IsHex(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The value as it may be shown in an error text.
std::string Shown(const std::string& value) {
  std::string out;
  for (unsigned char c : value.substr(0, 64)) {
    if (IsControl(c) || c >= 0x80) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return value.size() > 64 ? out + "..." : out;
}

std::string CharName(unsigned char c) {
  if (IsControl(c)) return "a control character";
  if (c == ' ') return "a blank";
  if (c >= 0x80) return "a character outside ASCII";
  return std::string("'") + char(c) + "'";
}

[[noreturn]] void Refuse(const std::string& what, const std::string& value, const std::string& why) {
  throw Exception(what + " \"" + Shown(value) + "\" " + why);
}

// The first bad character of a user part, or npos. "%HH" is an escape.
size_t BadUserChar(const std::string& user) {
  for (size_t i = 0; i < user.size(); ++i) {
    unsigned char c = user[i];
    if (c == '%') {
      if (i + 2 < user.size() && IsHex(user[i + 1]) && IsHex(user[i + 2])) {
        i += 2;
        continue;
      }
      return i;
    }
    if (!IsUserChar(c)) return i;
  }
  return std::string::npos;
}

bool IsPort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// host[:port] with host a name or IPv4 address, or "[" IPv6 "]".
bool IsHostPort(const std::string& text) {
  std::string host = text, port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close < 3) return false;
    for (size_t i = 1; i < close; ++i)
      if (!IsHex(text[i]) && text[i] != ':' && text[i] != '.') return false;
    if (close + 1 == text.size()) return true;
    return text[close + 1] == ':' && IsPort(text.substr(close + 2));
  }
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (!IsPort(port)) return false;
  }
  if (host.empty()) return false;
  for (unsigned char c : host)
    if (!IsAlnum(c) && c != '-' && c != '.') return false;
  return true;
}

}  // namespace

void RequireSipText(const std::string& what, const std::string& value, TSipText kind) {
  switch (kind) {
    case TSipText::User:
    case TSipText::Number:
    case TSipText::Target: {
      std::string user = value, host;
      size_t at = kind == TSipText::Target ? value.find('@') : std::string::npos;
      if (at != std::string::npos) {
        user = value.substr(0, at);
        host = value.substr(at + 1);
      }
      if (user.empty()) Refuse(what, value, "has no user part");
      size_t bad = BadUserChar(user);
      if (kind == TSipText::User && bad == std::string::npos) bad = user.find('#');
      if (bad != std::string::npos)
        Refuse(what, value, "holds " + CharName(user[bad]) + ", which a SIP URI cannot carry there");
      if (at != std::string::npos && !IsHostPort(host))
        Refuse(what, value, "has no valid host after '@' (a name, an address or [IPv6], and an optional :port)");
      return;
    }
    case TSipText::Host:
      if (!IsHostPort(value))
        Refuse(what, value, "is not a host (a name, an address or [IPv6], and an optional :port)");
      return;
    case TSipText::DisplayName:
      for (unsigned char c : value)
        if (IsControl(c)) Refuse(what, value, "holds a control character");
      return;
    case TSipText::Password:
      for (char c : value)
        if (c == '\0' || c == '\r' || c == '\n') Refuse(what, "***", "holds NUL, CR or LF");
      return;
  }
}

std::string UriUser(const std::string& user) {
  std::string out;
  for (char c : user) {
    if (c == '#') {
      out += "%23";
    } else {
      out += c;
    }
  }
  return out;
}

std::string QuotedDisplayName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace qv
