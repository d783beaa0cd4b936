#include "sip/via.h"

#include <cctype>
#include <string_view>

#include "platform/textutil.h"

namespace qv {

namespace {

using sv = std::string_view;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Lowered(sv s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Where the top Via value sits in the text, besides what it says.
struct TLocated {
  TTopVia via;
  bool found = false;
  size_t valueEnd = 0;   // offset (in the whole text) just after the top value
  size_t rportEnd = 0;   // offset just after a bare "rport", 0 when none
};

// The name of a header line, when the line is a Via ("Via" or the compact "v").
bool IsViaLine(sv line, size_t& colon) {
  colon = line.find(':');
  if (colon == sv::npos) return false;
  sv name = line.substr(0, colon);
  while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
  std::string lower = Lowered(name);
  return lower == "via" || lower == "v";
}

// Reads "SIP / 2.0 / UDP sent-by *(;param)" starting at `i` in `line`;
// `base` is the line's offset in the whole text.
void ReadValue(sv line, size_t i, size_t base, TLocated& out) {
  // Past the sent-protocol: two slashes, then the transport token.
  int slashes = 0;
  while (i < line.size() && slashes < 2) {
    if (line[i] == '/') ++slashes;
    ++i;
  }
  while (i < line.size() && IsBlank(line[i])) ++i;
  while (i < line.size() && !IsBlank(line[i]) && line[i] != ';' && line[i] != ',') ++i;  // transport
  while (i < line.size() && IsBlank(line[i])) ++i;
  size_t sentByStart = i;
  while (i < line.size() && !IsBlank(line[i]) && line[i] != ';' && line[i] != ',') ++i;
  sv sentBy = line.substr(sentByStart, i - sentByStart);
  // RFC 3261 25.1 lets blanks stand around the colon of the port.
  size_t j = i;
  while (j < line.size() && IsBlank(line[j])) ++j;
  if (j < line.size() && line[j] == ':' && sentBy.find(':') == sv::npos) {
    ++j;
    while (j < line.size() && IsBlank(line[j])) ++j;
    size_t portStart = j;
    while (j < line.size() && std::isdigit(static_cast<unsigned char>(line[j]))) ++j;
    out.via.Port = ToIntDef(std::string(line.substr(portStart, j - portStart)), 5060);
    i = j;
  }
  // IPv4 or a name; an IPv6 reference keeps its brackets.
  size_t close = sentBy.find(']');
  size_t colon = sentBy.find(':', close == sv::npos ? 0 : close);
  if (colon != sv::npos) {
    out.via.Port = ToIntDef(std::string(sentBy.substr(colon + 1)), 5060);
    sentBy = sentBy.substr(0, colon);
  }
  out.via.Host = Lowered(sentBy);
  out.via.SentBy = out.via.Host + ":" + std::to_string(out.via.Port);
  // The parameters, up to the comma that starts the next value.
  while (i < line.size() && line[i] != ',') {
    if (line[i] != ';') {
      ++i;
      continue;
    }
    ++i;
    while (i < line.size() && IsBlank(line[i])) ++i;
    size_t nameStart = i;
    while (i < line.size() && line[i] != '=' && line[i] != ';' && line[i] != ',' && !IsBlank(line[i])) ++i;
    std::string name = Lowered(line.substr(nameStart, i - nameStart));
    size_t nameEnd = i;
    while (i < line.size() && IsBlank(line[i])) ++i;
    std::string value;
    bool hasValue = i < line.size() && line[i] == '=';
    if (hasValue) {
      ++i;
      while (i < line.size() && IsBlank(line[i])) ++i;
      size_t valueStart = i;
      while (i < line.size() && line[i] != ';' && line[i] != ',' && !IsBlank(line[i])) ++i;
      value = std::string(line.substr(valueStart, i - valueStart));
    }
    if (name == "branch") {
      out.via.Branch = value;
    } else if (name == "received") {
      out.via.Received = value;
    } else if (name == "rport") {
      out.via.Rport = true;
      out.via.RportValue = ToIntDef(value, 0);
      if (!hasValue) out.rportEnd = base + nameEnd;
    }
  }
  size_t end = i;
  while (end > 0 && IsBlank(line[end - 1])) --end;
  out.valueEnd = base + end;
}

TLocated Locate(const std::string& text) {
  TLocated out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find_first_of("\r\n", pos);
    if (eol == std::string::npos) eol = text.size();
    sv line(text.data() + pos, eol - pos);
    size_t colon;
    if (IsViaLine(line, colon)) {
      out.found = true;
      ReadValue(line, colon + 1, pos, out);
      return out;
    }
    if (line.empty() && pos > 0) break;  // the end of the header section
    pos = eol + (eol + 1 < text.size() && text[eol] == '\r' && text[eol + 1] == '\n' ? 2 : 1);
  }
  return out;
}

}  // namespace

TTopVia ParseTopVia(const std::string& viaLines) { return Locate(viaLines).via; }

std::string StampTopVia(const std::string& viaLines, const std::string& sourceHost, int sourcePort) {
  TLocated located = Locate(viaLines);
  if (!located.found) return viaLines;
  std::string out = viaLines;
  // Inserted from the back, so that the earlier offset stays right.
  // A sent-by IPv6 address is written in brackets, a source address without.
  const std::string sourceRef = sourceHost.find(':') == std::string::npos ? sourceHost : "[" + sourceHost + "]";
  if (located.via.Received.empty() && !sourceHost.empty() && located.via.Host != sourceRef)
    out.insert(located.valueEnd, ";received=" + sourceHost);
  if (located.rportEnd != 0) out.insert(located.rportEnd, "=" + std::to_string(sourcePort));
  return out;
}

void ResponseDestination(const TTopVia& via, std::string& host, int& port) {
  host = via.Received.empty() ? via.Host : via.Received;
  port = via.Rport && via.RportValue > 0 ? via.RportValue : via.Port;
}

}  // namespace qv
