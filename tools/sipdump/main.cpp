// quorvelle-sipdump FILE...: parses each file as one received datagram and
// prints every field of the resulting TSipMessage, one "Name: value" line per
// field, in declaration order. A developer's tool: it must never fail on any
// input, however broken, so the bytes are read as they are and every value is
// escaped onto one line.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

#include "sip/sipmessage.h"

namespace {

constexpr const char* kHelp =
    "Usage: quorvelle-sipdump [--] FILE...\n"
    "\n"
    "Parses each FILE as one received SIP datagram (the whole file, byte for\n"
    "byte; \"-\" reads standard input) and prints every parsed field as a\n"
    "\"Name: value\" line, in the order the fields are declared. Each file's\n"
    "block starts with a line \"# FILE\"; a blank line separates the blocks.\n"
    "\n"
    "Lists print one line per entry: \"PayloadTypes[0]: 0\", \"PayloadTypes[1]: 8\",\n"
    "\"RecordRoutes[0]: <sip:p1;lr>\" and so on. A list with no entries prints one\n"
    "marker line instead: \"PayloadTypes: (empty)\", \"Contacts: (empty)\",\n"
    "\"RecordRoutes: (empty)\" when\n"
    "Record-Route headers held no route, \"RecordRoutes: (absent)\" when there was\n"
    "no Record-Route header at all.\n"
    "\n"
    "Values are escaped so that each stays on one line: CR prints as \\r, LF as\n"
    "\\n, a backslash as \\\\, and any other byte below 0x20 or above 0x7E as \\xHH.\n"
    "\n"
    "Exit status: 0 when every file was read (whatever it held), 1 when at least\n"
    "one file could not be read (an error line goes to standard error and the\n"
    "other files are still shown), 2 for a usage error.\n";

std::string Escape(std::string_view value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c > 0x7E) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

void Field(std::ostream& out, const char* name, std::string_view value) {
  out << name << ": " << Escape(value) << '\n';
}

void Dump(std::ostream& out, const qv::TSipMessage& m) {
  if (m.PayloadTypes.empty()) out << "PayloadTypes: (empty)\n";
  for (size_t i = 0; i < m.PayloadTypes.size(); ++i)
    out << "PayloadTypes[" << i << "]: " << m.PayloadTypes[i] << '\n';
  if (!m.RecordRoutes) {
    out << "RecordRoutes: (absent)\n";
  } else if (m.RecordRoutes->empty()) {
    out << "RecordRoutes: (empty)\n";
  } else {
    for (size_t i = 0; i < m.RecordRoutes->size(); ++i)
      out << "RecordRoutes[" << i << "]: " << Escape((*m.RecordRoutes)[i]) << '\n';
  }
  Field(out, "DtmfSignal", m.DtmfSignal);
  Field(out, "CallId", m.CallId);
  Field(out, "RawText", m.RawText);
  Field(out, "ViaHost", m.ViaHost);
  Field(out, "RequestUser", m.RequestUser);
  Field(out, "ToUri", m.ToUri);
  Field(out, "FromUri", m.FromUri);
  Field(out, "ViaPort", m.ViaPort);
  Field(out, "ViaRport", m.ViaRport);
  Field(out, "AuthNonce", m.AuthNonce);
  Field(out, "StatusCode", m.StatusCode);
  Field(out, "AuthRealm", m.AuthRealm);
  Field(out, "AuthOpaque", m.AuthOpaque);
  Field(out, "AuthQop", m.AuthQop);
  Field(out, "CSeqMethod", m.CSeqMethod);
  Field(out, "FromHeader", m.FromHeader);
  Field(out, "ToHeader", m.ToHeader);
  Field(out, "ViaHeaders", m.ViaHeaders);
  Field(out, "ContactUri", m.ContactUri);
  Field(out, "CSeqNumber", m.CSeqNumber);
  Field(out, "FromTag", m.FromTag);
  Field(out, "ToTag", m.ToTag);
  Field(out, "SdpAddress", m.SdpAddress);
  Field(out, "SdpAudioPort", m.SdpAudioPort);
  Field(out, "ContactHost", m.ContactHost);
  Field(out, "ContactPort", m.ContactPort);
  Field(out, "ToUser", m.ToUser);
  Field(out, "ToHostPart", m.ToHostPart);
  Field(out, "ToHost", m.ToHost);
  Field(out, "FromHost", m.FromHost);
  Field(out, "FromUser", m.FromUser);
  Field(out, "RecordRouteHeaders", m.RecordRouteHeaders);
  Field(out, "SipfragStatus", m.SipfragStatus);
  Field(out, "Expires", m.Expires);
  Field(out, "MinExpires", m.MinExpires);
  if (m.Contacts.empty()) out << "Contacts: (empty)\n";
  for (size_t i = 0; i < m.Contacts.size(); ++i)
    out << "Contacts[" << i << "]: " << Escape(m.Contacts[i]) << '\n';
}

bool ReadAll(const std::string& path, std::string& data) {
  if (path == "-") {
    std::ostringstream buffer;
    buffer << std::cin.rdbuf();
    data = buffer.str();
    return !std::cin.bad();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  bool options = true;
  int files = 0, failed = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options && arg == "--") {
      options = false;
      continue;
    }
    if (options && (arg == "-h" || arg == "--help")) {
      std::cout << kHelp;
      return 0;
    }
    if (options && arg.size() > 1 && arg[0] == '-') {
      std::cerr << "quorvelle-sipdump: unknown option " << arg << " (see --help)\n";
      return 2;
    }
    std::string data;
    if (!ReadAll(arg, data)) {
      std::cerr << "quorvelle-sipdump: cannot read " << arg << "\n";
      ++failed;
      continue;
    }
    if (files++ > 0) std::cout << '\n';
    std::cout << "# " << Escape(arg) << '\n';
    Dump(std::cout, qv::TSipMessage(data));
  }
  if (files + failed == 0) {
    std::cerr << kHelp;
    return 2;
  }
  std::cout.flush();
  return failed ? 1 : 0;
}
