#include "sip/sipmessage.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/textutil.h"

// Hot path: one message per received datagram, on the transport thread. Every
// cut is a string_view into the datagram; a field is copied only once, when it
// is assigned. Lines are found sixteen bytes at a time and dispatched on their
// first character, so a line the parser does not know costs one switch.

namespace qv {

namespace {

using sv = std::string_view;

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

// Header names are compared without regard to case; SDP lines are not.
// `name` is given in lower case.
inline bool StartsI(sv line, sv name) {
  if (line.size() < name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (Lower(line[i]) != name[i]) return false;
  return true;
}

inline bool Starts(sv line, sv name) {
  return line.size() >= name.size() && std::memcmp(line.data(), name.data(), name.size()) == 0;
}


// Values are short (a header line), so plain loops beat the library searches,
// which pay a call per candidate position.
inline size_t Find(sv s, char c) {
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] == c) return i;
  return sv::npos;
}

inline size_t Find(sv s, sv what) {
  if (what.size() > s.size()) return sv::npos;
  const char first = what[0];
  const size_t last = s.size() - what.size();
  for (size_t i = 0; i <= last; ++i)
    if (s[i] == first && std::memcmp(s.data() + i + 1, what.data() + 1, what.size() - 1) == 0) return i;
  return sv::npos;
}

// The text up to the first `stop`, or all of it when there is none.
inline sv UpTo(sv s, char stop) {
  size_t p = Find(s, stop);
  return p == sv::npos ? s : s.substr(0, p);
}

// The host of a URI ends at a blank, a port, a parameter or the closing
// bracket; an IPv6 reference ends at its "]" (RFC 3261 25.1).
inline sv UpToHostEnd(sv s) {
  if (!s.empty() && s[0] == '[') {
    size_t close = s.find(']');
    if (close != sv::npos) return s.substr(0, close + 1);
  }
  size_t i = 0;
  while (i < s.size() && s[i] != ' ' && s[i] != ':' && s[i] != ';' && s[i] != '>') ++i;
  return s.substr(0, i);
}

// The colon before the port of "host:port", past an IPv6 reference's "]".
inline size_t PortColonOf(sv hostPort) {
  size_t from = 0;
  if (!hostPort.empty() && hostPort[0] == '[') {
    from = hostPort.find(']');
    if (from == sv::npos) return sv::npos;
  }
  return hostPort.find(':', from);
}

inline sv UpToBlankOrBracket(sv s) {
  size_t i = 0;
  while (i < s.size() && s[i] != ' ' && s[i] != '>') ++i;
  return s.substr(0, i);
}

// The text after the first occurrence of `what`.
inline bool After(sv s, sv what, sv& out) {
  size_t p = Find(s, what);
  if (p == sv::npos) return false;
  out = s.substr(p + what.size());
  return true;
}

inline sv Prefix(sv s, size_t n) { return s.substr(0, n); }

inline sv DropFirst(sv s) { return s.empty() ? s : s.substr(1); }

inline sv LeadingDigits(sv s, size_t max) {
  size_t n = 0;
  while (n < s.size() && n < max && s[n] >= '0' && s[n] <= '9') ++n;
  return s.substr(0, n);
}

// A payload token reads as an integer when it is an optional sign followed by
// decimal digits whose value fits a 32-bit int.
bool ReadsAsInteger(sv token, int& value) {
  size_t i = 0;
  bool negative = false;
  if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
    negative = token[0] == '-';
    i = 1;
  }
  if (i == token.size()) return false;
  long long v = 0;
  for (; i < token.size(); ++i) {
    char c = token[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  value = int(v);
  return true;
}

// The end of the line that starts at `i`: the first CR or LF, or `n`.
inline size_t LineEnd(const char* text, size_t i, size_t n) {
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  while (i + 16 <= n) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, cr), _mm_cmpeq_epi8(chunk, lf)));
    if (mask) return i + size_t(__builtin_ctz(unsigned(mask)));
    i += 16;
  }
#endif
  while (i < n && text[i] != '\r' && text[i] != '\n') ++i;
  return i;
}

struct Parser {
  TSipMessage& m;
  TSdpAudioReader sdp{m.SdpAudio};
  bool viaSeen = false;    // the first Via line alone gives ViaHost and ViaPort
  bool rportSeen = false;  // the first "rport=" of all Via lines gives ViaRport

  struct Party {
    std::string TSipMessage::*header, TSipMessage::*tag, TSipMessage::*uri;
    std::string TSipMessage::*user, TSipMessage::*host;
  };
  static constexpr Party kFrom{&TSipMessage::FromHeader, &TSipMessage::FromTag, &TSipMessage::FromUri,
                               &TSipMessage::FromUser, &TSipMessage::FromHost};
  static constexpr Party kTo{&TSipMessage::ToHeader, &TSipMessage::ToTag, &TSipMessage::ToUri,
                             &TSipMessage::ToUser, &TSipMessage::ToHost};

  void FromOrTo(sv line, const Party& p) {
    (m.*p.header).assign(line);
    sv rest;
    if (After(line, "tag=", rest)) (m.*p.tag).assign(Prefix(rest, 100));
    if (After(line, "<", rest)) (m.*p.uri).assign(UpTo(rest, '>'));
    if (After(line, "sip:", rest)) {
      size_t at = Find(rest, '@');
      if (at != sv::npos) {
        sv host = rest.substr(at + 1);
        (m.*p.user).assign(rest.substr(0, at));
        (m.*p.host).assign(UpToHostEnd(host));
        if (p.header == &TSipMessage::ToHeader) m.ToHostPart.assign(UpToBlankOrBracket(host));
      }
    }
  }

  void Via(sv line) {
    if (m.ViaHeaders.empty()) m.ViaHeaders.reserve(2 * line.size() + 4);  // one allocation for two Vias
    m.ViaHeaders.append(line).append("\r\n");
    // "rport=" holds no CR or LF, so it cannot straddle two appended lines:
    // until it is found, looking in the new line is looking in ViaHeaders.
    sv rest;
    if (!rportSeen && After(line, "rport=", rest)) {
      rportSeen = true;
      m.ViaRport.assign(LeadingDigits(rest, sv::npos));
    }
    if (viaSeen) return;
    viaSeen = true;
    if (!After(line, "/UDP", rest)) {
      m.ViaHost.assign(line);  // not an address: a send to it is refused
      return;
    }
    // RFC 3261 25.1: blanks may stand around the colon and before the ";".
    sv host = TrimView(UpTo(TrimView(DropFirst(rest)), ';'));
    sv port = "5060";
    size_t colon = PortColonOf(host);
    if (colon != sv::npos) {
      port = TrimView(host.substr(colon + 1));
      host = TrimView(host.substr(0, colon));
    }
    m.ViaHost.assign(host);
    m.ViaPort.assign(port);
  }

  void Contact(sv rest) {
    sv uri = TrimView(rest);
    m.Contacts.emplace_back(uri);
    size_t lt = Find(uri, '<');
    if (lt != sv::npos) {
      // In angle brackets the URI keeps its parameters (";transport=",
      // ";ob", a GRUU's ";gr="): the remote target is the whole URI
      // (RFC 3261 12.1.2). Outside them every parameter is the header's.
      uri = TrimView(UpTo(TrimView(uri.substr(lt + 1)), '>'));
    } else {
      uri = TrimView(UpTo(uri, ';'));
    }
    m.ContactUri.assign(uri);
    size_t at = Find(uri, '@');
    if (at == sv::npos) return;
    sv host = UpTo(uri.substr(at + 1), ';');
    size_t colon = PortColonOf(host);
    if (colon != sv::npos) {
      m.ContactPort.assign(Prefix(host.substr(colon + 1), 15));
      host = host.substr(0, colon);
    }
    m.ContactHost.assign(host);
  }

  void RecordRoute(sv rest) {
    if (!m.RecordRoutes) m.RecordRoutes.emplace();
    rest = TrimView(rest);
    for (;;) {
      size_t comma = Find(rest, ',');
      // RFC 3261 7.3.1: a list may hold empty elements; they are no routes.
      sv piece = TrimView(rest.substr(0, comma));
      if (!piece.empty()) m.RecordRoutes->emplace_back(piece);
      if (comma == sv::npos) break;
      rest = rest.substr(comma + 1);
    }
  }

  // A later challenge replaces the whole earlier one: an opaque or qop of one
  // challenge must not be answered with the nonce of another.
  void Challenge(sv line) {
    sv rest;
    m.AuthNonce.assign(After(line, "nonce=", rest) ? UpTo(DropFirst(rest), '"') : sv());
    m.AuthRealm.assign(After(line, "realm=", rest) ? UpTo(DropFirst(rest), '"') : sv());
    m.AuthOpaque.assign(After(line, "opaque=\"", rest) ? UpTo(rest, '"') : sv());
    sv qop = After(line, "qop=\"", rest) ? UpTo(rest, '"') : sv();
    m.AuthQop.assign(qop == "auth,auth-int" ? sv("auth-int") : qop);
  }

  // Payload types are taken in the order of the lines, so adding them here
  // equals collecting every token first and filtering at the end.
  void AudioMedia(sv line) {
    m.SdpAudioPort.assign(LeadingDigits(TrimView(line.substr(7)), 10));
    sv list;
    if (!After(line, "RTP/AVP", list)) return;
    list = TrimView(list);
    size_t i = 0;
    while (i < list.size()) {
      while (i < list.size() && (list[i] == ' ' || list[i] == '\t')) ++i;
      size_t b = i;
      while (i < list.size() && list[i] != ' ' && list[i] != '\t') ++i;
      sv token = list.substr(b, i - b);
      int value;
      if (token != "101" && ReadsAsInteger(token, value)) {
        if (m.PayloadTypes.capacity() == 0) m.PayloadTypes.reserve(8);
        m.PayloadTypes.push_back(value);
      }
    }
  }

  void CSeq(sv line) {
    size_t blank = line.rfind(' ');
    m.CSeqMethod.assign(blank == sv::npos ? sv() : line.substr(blank + 1));
    sv rest = line.substr(5);
    while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
    m.CSeqNumber.assign(TrimView(UpTo(rest, ' ')));
  }

  // Header names count only in the header section; the SDP, INFO and sipfrag
  // lines are looked for on every line.
  void Line(sv line, bool header, bool start) {
    switch (line[0]) {
      case 'S':
      case 's':
        if (StartsI(line, "sip/2.0")) {
          // Only the start line makes a response; the same text further down
          // is the status line of a sipfrag body (a NOTIFY of a transfer).
          sv code = line.substr(line.size() < 8 ? line.size() : 8, 3);
          if (start)
            m.StatusCode.assign(code);
          else if (!header && m.SipfragStatus.empty())
            m.SipfragStatus.assign(code);
        } else if (StartsI(line, "signal=")) {
          m.DtmfSignal.assign(TrimView(line.substr(7)));
        }
        return;
      case 'C':
      case 'c':
        if (line.size() > 1 && line[1] == '=') {
          sv rest;
          if (line[0] == 'c' && After(line, "IP4", rest)) m.SdpAddress.assign(TrimView(Prefix(DropFirst(rest), 20)));
          // An IPv6 address is at most 45 characters (with a dotted tail).
          else if (line[0] == 'c' && After(line, "IP6", rest)) m.SdpAddress.assign(TrimView(Prefix(DropFirst(rest), 46)));
        } else if (!header) {
          return;
        } else if (StartsI(line, "call-id:")) {
          m.CallId.assign(Prefix(TrimView(line.substr(8)), 100));
        } else if (StartsI(line, "cseq:")) {
          CSeq(line);
        } else if (StartsI(line, "contact:")) {
          Contact(line.substr(8));
        }
        return;
      case 'I':
      case 'i':
        if (header && line.size() > 1 && line[1] == ':') m.CallId.assign(Prefix(TrimView(line.substr(2)), 100));
        return;
      case 'F':
      case 'f':
        if (header && ((line.size() > 1 && line[1] == ':') || StartsI(line, "from:"))) FromOrTo(line, kFrom);
        return;
      case 'T':
      case 't':
        if (header && ((line.size() > 1 && line[1] == ':') || StartsI(line, "to:"))) FromOrTo(line, kTo);
        return;
      case 'V':
      case 'v':
        if (header && ((line.size() > 1 && line[1] == ':') || StartsI(line, "via:"))) Via(line);
        return;
      case 'M':
      case 'm':
        if (line.size() > 1 && line[1] == ':') {
          if (header) Contact(line.substr(2));
        } else if (line[0] == 'm' && line.size() > 1 && line[1] == '=') {
          if (Starts(line, "m=audio")) AudioMedia(line);
          sdp.Line(line);  // every m= line: one ends the audio stream's attributes
        } else if (header && StartsI(line, "min-expires:")) {
          m.MinExpires.assign(TrimView(line.substr(12)));
        }
        return;
      case 'E':
      case 'e':
        if (header && StartsI(line, "expires:")) m.Expires.assign(TrimView(line.substr(8)));
        return;
      case 'a':
        if (line.size() > 1 && line[1] == '=') sdp.Line(line);
        return;
      case 'R':
      case 'r':
        if (header && StartsI(line, "record-route:")) RecordRoute(line.substr(13));
        return;
      case 'W':
      case 'w':
        if (header && StartsI(line, "www-authenticate:")) Challenge(line);
        return;
      case 'P':
      case 'p':
        if (header && StartsI(line, "proxy-authenticate:")) Challenge(line);
        return;
      default:
        return;
    }
  }

  // The user part of the Request-URI, for the two requests that address a user.
  void FirstLine(sv line) {
    size_t skip;
    if (Starts(line, "INVITE ")) {
      skip = 7 + 4;  // the method, its blank and "sip:"
    } else if (Starts(line, "MESSAGE ")) {
      skip = 8 + 4;
    } else {
      return;
    }
    sv rest = TrimView(line.substr(line.size() < skip ? line.size() : skip));
    size_t at = Find(rest, '@');
    if (at != sv::npos) m.RequestUser.assign(TrimView(rest.substr(0, at)));
  }

  void Run(sv text) {
    const char* p = text.data();
    size_t n = text.size();
    size_t i = 0;
    // RFC 3261 7.5: empty lines before the start line are skipped for the
    // status; the Request-URI user is read from the datagram's first line only.
    bool first = true, firstLine = true;
    // The header section ends at the first empty line after a non-empty one.
    // What follows (the body, or the bytes after a framed message, RFC 3261
    // 18.3) cannot set header fields.
    bool started = false, header = true;
    for (;;) {
      size_t e = LineEnd(p, i, n);
      sv line(p + i, e - i);
      if (firstLine) FirstLine(line);
      firstLine = false;
      if (!line.empty()) {
        started = true;
        Line(line, header, first);
        first = false;
      } else if (started) {
        header = false;
      }
      if (e >= n) break;
      // A line ends at CR LF, a lone CR or a lone LF.
      i = e + ((p[e] == '\r' && e + 1 < n && p[e + 1] == '\n') ? 2 : 1);
      if (i >= n) break;
    }
    if (m.RecordRoutes) {
      size_t size = 0;
      for (const std::string& entry : *m.RecordRoutes) size += entry.size() + 16;
      m.RecordRouteHeaders.reserve(size);
      for (const std::string& entry : *m.RecordRoutes)
        m.RecordRouteHeaders.append("Record-Route: ").append(entry).append("\r\n");
    }
  }
};

}  // namespace

TSipMessage::TSipMessage(std::string_view datagram) : RawText(datagram) {
  Parser parser{*this};
  parser.Run(RawText);
}

std::string TSipMessage::RecordRoute(int index) const {
  if (!RecordRoutes || index < 0 || size_t(index) >= RecordRoutes->size()) return {};
  return (*RecordRoutes)[size_t(index)];
}

}  // namespace qv
