#include "sip/contact.h"

#include <cctype>

#include "platform/textutil.h"
#include "sip/iputils.h"

namespace qv {

namespace {

std::string Lowered(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

}  // namespace

std::string ContactEntryUri(const std::string& entry) {
  size_t lt = entry.find('<');
  if (lt != std::string::npos) {
    size_t gt = entry.find('>', lt);
    return Trimmed(entry.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1));
  }
  return Trimmed(entry.substr(0, entry.find(';')));
}

std::vector<std::string> ContactEntries(const std::vector<std::string>& values) {
  std::vector<std::string> entries;
  for (const std::string& value : values) {
    std::string current;
    bool quoted = false, bracketed = false;
    for (char c : value) {
      if (c == '"' && !bracketed) quoted = !quoted;
      if (c == '<' && !quoted) bracketed = true;
      if (c == '>' && !quoted) bracketed = false;
      if (c == ',' && !quoted && !bracketed) {
        if (!Trimmed(current).empty()) entries.push_back(Trimmed(current));
        current.clear();
        continue;
      }
      current += c;
    }
    if (!Trimmed(current).empty()) entries.push_back(Trimmed(current));
  }
  return entries;
}

int ContactExpires(const std::vector<std::string>& values, const std::string& uri) {
  const std::string ours = Lowered(uri);
  for (const std::string& entry : ContactEntries(values)) {
    if (Lowered(ContactEntryUri(entry)) != ours) continue;
    // The header's parameters come after the URI (after ">" when bracketed).
    size_t gt = entry.find('>');
    std::string params = Lowered(gt == std::string::npos ? entry.substr(entry.find(';') == std::string::npos
                                                                             ? entry.size()
                                                                             : entry.find(';'))
                                                         : entry.substr(gt + 1));
    size_t at = 0;
    while ((at = params.find(';', at)) != std::string::npos) {
      ++at;
      size_t eq = params.find('=', at);
      size_t next = params.find(';', at);
      if (eq == std::string::npos || (next != std::string::npos && eq > next)) continue;
      if (Trimmed(params.substr(at, eq - at)) != "expires") continue;
      std::string value = Trimmed(params.substr(eq + 1, next == std::string::npos ? std::string::npos : next - eq - 1));
      return ToIntDef(value, -1);
    }
    return -1;
  }
  return -1;
}

TUriHop UriHop(const std::string& uriOrNameAddr) {
  std::string uri = ContactEntryUri(uriOrNameAddr);
  std::string lower = Lowered(uri.substr(0, 5));
  bool secure = lower == "sips:";
  if (!secure && lower.rfind("sip:", 0) != 0) return {};
  std::string rest = uri.substr(secure ? 5 : 4);
  rest = rest.substr(0, rest.find('?'));
  size_t at = rest.rfind('@');
  if (at != std::string::npos) rest.erase(0, at + 1);
  std::string hostPort = rest.substr(0, rest.find(';'));
  TUriHop hop;
  hop.Port = secure ? 5061 : 5060;
  size_t colon = PortColon(hostPort);
  if (colon != std::string::npos) {
    std::string digits = hostPort.substr(colon + 1);
    hostPort.erase(colon);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return {};
    hop.Port = std::stoi(digits);
    if (hop.Port < 1 || hop.Port > 65535) return {};
  }
  hop.Host = BareHost(hostPort);
  return hop;
}

}  // namespace qv
