#include "sip/sipmessage.h"

#include <charconv>

namespace qv {

namespace {

using sv = std::string_view;

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

// Header names are compared without regard to case; SDP lines are not.
bool StartsI(sv line, sv name) {
  if (line.size() < name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (Lower(line[i]) != Lower(name[i])) return false;
  return true;
}

bool Starts(sv line, sv name) { return line.substr(0, name.size()) == name; }

// Trim as the original did: every character up to the blank counts as space.
sv Trim(sv s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// The text up to the first of `stops`, or all of it when none occurs.
sv UpTo(sv s, sv stops) {
  size_t p = s.find_first_of(stops);
  return p == sv::npos ? s : s.substr(0, p);
}

// The text after the first occurrence of `what`; npos-safe.
bool After(sv s, sv what, sv& out) {
  size_t p = s.find(what);
  if (p == sv::npos) return false;
  out = s.substr(p + what.size());
  return true;
}

sv Prefix(sv s, size_t n) { return s.substr(0, n); }

sv LeadingDigits(sv s, size_t max) {
  size_t n = 0;
  while (n < s.size() && n < max && s[n] >= '0' && s[n] <= '9') ++n;
  return s.substr(0, n);
}

// A quoted challenge value: after `name` and its opening quote, up to the
// closing quote or the end of the line.
sv Quoted(sv rest) {
  rest = rest.substr(rest.empty() ? 0 : 1);  // the opening double quote
  return UpTo(rest, "\"");
}

bool ReadsAsInteger(sv token, int& value) {
  if (token.empty()) return false;
  const char* b = token.data();
  const char* e = b + token.size();
  if (*b == '+') ++b;
  auto [ptr, ec] = std::from_chars(b, e, value);
  return ec == std::errc() && ptr == e;
}

struct Parser {
  TSipMessage& m;
  std::vector<sv> payloadTokens;

  void FromOrTo(sv line, bool isFrom) {
    (isFrom ? m.FromHeader : m.ToHeader).assign(line);
    sv rest;
    if (After(line, "tag=", rest)) (isFrom ? m.FromTag : m.ToTag).assign(Prefix(rest, 100));
    if (After(line, "<", rest)) (isFrom ? m.FromUri : m.ToUri).assign(UpTo(rest, ">"));
    if (After(line, "sip:", rest)) {
      size_t at = rest.find('@');
      if (at != sv::npos) {
        sv host = rest.substr(at + 1);
        (isFrom ? m.FromUser : m.ToUser).assign(rest.substr(0, at));
        (isFrom ? m.FromHost : m.ToHost).assign(UpTo(host, " :;>"));
        if (!isFrom) m.ToHostPart.assign(UpTo(host, " >"));
      }
    }
  }

  void Via(sv line) {
    m.ViaHeaders.append(line).append("\r\n");
    if (m.ViaRport.empty()) {
      sv rest;
      // The first Via line that carries an rport value decides.
      if (After(m.ViaHeaders, "rport=", rest)) m.ViaRport.assign(LeadingDigits(rest, sv::npos));
    }
    if (!m.ViaHost.empty()) return;
    sv rest;
    if (!After(line, "/UDP", rest)) {
      m.ViaHost.assign(line);  // unusable as an address; sends by it will refuse
      return;
    }
    sv host = Trim(UpTo(Trim(rest.substr(rest.empty() ? 0 : 1)), ";"));
    m.ViaPort = "5060";
    size_t colon = host.find(':');
    if (colon != sv::npos) {
      m.ViaPort.assign(Trim(host.substr(colon + 1)));
      host = host.substr(0, colon);
    }
    m.ViaHost.assign(host);
  }

  void Contact(sv rest) {
    sv uri = Trim(rest);
    size_t lt = uri.find('<');
    if (lt != sv::npos) uri = Trim(uri.substr(lt + 1));
    uri = Trim(UpTo(uri, ">"));
    uri = Trim(UpTo(uri, ";"));
    m.ContactUri.assign(uri);
    size_t at = uri.find('@');
    if (at == sv::npos) return;
    sv host = uri.substr(at + 1);
    size_t colon = host.find(':');
    if (colon != sv::npos) {
      m.ContactPort.assign(Prefix(host.substr(colon + 1), 15));
      host = host.substr(0, colon);
    }
    m.ContactHost.assign(host);
  }

  void RecordRoute(sv rest) {
    if (!m.RecordRoutes) m.RecordRoutes.emplace();
    rest = Trim(rest);
    while (true) {
      size_t comma = rest.find(',');
      m.RecordRoutes->emplace_back(Trim(rest.substr(0, comma)));
      if (comma == sv::npos) break;
      rest = rest.substr(comma + 1);
    }
  }

  void Challenge(sv line) {
    sv rest;
    m.AuthNonce.assign(After(line, "nonce=", rest) ? Quoted(rest) : sv());
    m.AuthRealm.assign(After(line, "realm=", rest) ? Quoted(rest) : sv());
    if (After(line, "opaque=\"", rest)) m.AuthOpaque.assign(UpTo(rest, "\""));
    if (After(line, "qop=\"", rest)) {
      sv qop = UpTo(rest, "\"");
      m.AuthQop.assign(qop == "auth,auth-int" ? sv("auth-int") : qop);
    }
  }

  void AudioMedia(sv line) {
    sv rest = Trim(line.substr(7));
    m.SdpAudioPort.assign(LeadingDigits(rest, 10));
    sv list;
    if (!After(line, "RTP/AVP", list)) return;
    list = Trim(list);
    size_t i = 0;
    while (i < list.size()) {
      while (i < list.size() && (list[i] == ' ' || list[i] == '\t')) ++i;
      size_t b = i;
      while (i < list.size() && list[i] != ' ' && list[i] != '\t') ++i;
      if (i > b) payloadTokens.push_back(list.substr(b, i - b));
    }
  }

  void Line(sv line) {
    if (line.empty()) return;
    switch (Lower(line[0])) {
      case 's':
        if (StartsI(line, "SIP/2.0")) {
          m.StatusCode.append(line.substr(std::min<size_t>(8, line.size()), 3));
        } else if (StartsI(line, "Signal=")) {
          m.DtmfSignal.assign(Trim(line.substr(7)));
        }
        return;
      case 'c':
        if (StartsI(line, "Call-ID:")) {
          m.CallId.assign(Prefix(Trim(line.substr(8)), 100));
        } else if (StartsI(line, "CSeq:")) {
          size_t blank = line.rfind(' ');
          m.CSeqMethod.assign(blank == sv::npos ? sv() : line.substr(blank + 1));
          sv rest = line.substr(5);
          while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
          m.CSeqNumber.assign(Trim(UpTo(rest, " ")));
        } else if (StartsI(line, "Contact:")) {
          Contact(line.substr(8));
        } else if (Starts(line, "c=")) {
          sv rest;
          if (After(line, "IP4", rest)) m.SdpAddress.assign(Trim(Prefix(rest.substr(rest.empty() ? 0 : 1), 20)));
        }
        return;
      case 'i':
        if (StartsI(line, "i:")) m.CallId.assign(Prefix(Trim(line.substr(2)), 100));
        return;
      case 'f':
        if (StartsI(line, "From:") || StartsI(line, "f:")) FromOrTo(line, true);
        return;
      case 't':
        if (StartsI(line, "To:") || StartsI(line, "t:")) FromOrTo(line, false);
        return;
      case 'v':
        if (StartsI(line, "Via:") || StartsI(line, "v:")) Via(line);
        return;
      case 'm':
        if (StartsI(line, "m:")) {
          Contact(line.substr(2));
        } else if (Starts(line, "m=audio")) {
          AudioMedia(line);
        }
        return;
      case 'r':
        if (StartsI(line, "Record-Route:")) RecordRoute(line.substr(13));
        return;
      case 'w':
        if (StartsI(line, "WWW-Authenticate:")) Challenge(line);
        return;
      case 'p':
        if (StartsI(line, "Proxy-Authenticate:")) Challenge(line);
        return;
      default:
        return;
    }
  }

  void FirstLine(sv line) {
    size_t skip;
    if (Starts(line, "INVITE ")) {
      skip = 7 + 4;
    } else if (Starts(line, "MESSAGE ")) {
      skip = 8 + 4;
    } else {
      return;
    }
    sv rest = Trim(line.substr(std::min(skip, line.size())));
    size_t at = rest.find('@');
    if (at != sv::npos) m.RequestUser.assign(Trim(rest.substr(0, at)));
  }

  void Run(sv text) {
    bool first = true;
    size_t i = 0, n = text.size();
    while (i < n || first) {
      size_t e = i;
      while (e < n && text[e] != '\r' && text[e] != '\n') ++e;
      sv line = text.substr(i, e - i);
      if (first) {
        FirstLine(line);
        first = false;
      }
      Line(line);
      if (e >= n) break;
      // A line ends at CR LF, a lone CR or a lone LF.
      i = e + ((text[e] == '\r' && e + 1 < n && text[e + 1] == '\n') ? 2 : 1);
    }
    for (sv token : payloadTokens) {
      int value;
      if (token != "101" && ReadsAsInteger(token, value)) m.PayloadTypes.push_back(value);
    }
    if (m.RecordRoutes) {
      for (const std::string& entry : *m.RecordRoutes)
        m.RecordRouteHeaders.append("Record-Route: ").append(entry).append("\r\n");
    }
  }
};

}  // namespace

TSipMessage::TSipMessage(std::string_view datagram) : RawText(datagram) {
  Parser parser{*this, {}};
  parser.Run(RawText);
}

std::string TSipMessage::RecordRoute(int index) const {
  if (!RecordRoutes || index < 0 || size_t(index) >= RecordRoutes->size()) return {};
  return (*RecordRoutes)[size_t(index)];
}

}  // namespace qv
