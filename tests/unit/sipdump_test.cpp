// quorvelle-sipdump run as a program on the RFC 4475 torture messages: it must
// exit 0 and print one line per field, matching what the parser gives in process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "sip/sipmessage.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

const fs::path kTool = fs::path(QV_BINARY_DIR) / "tools" / "sipdump" / "quorvelle-sipdump";

struct ToolRun {
  int status = -1;
  std::string out, err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ToolRun RunTool(const std::vector<std::string>& args) {
  fs::path dir = fs::temp_directory_path();
  std::string tag = std::to_string(::getpid());
  fs::path out = dir / ("qv-sipdump-" + tag + ".out"), err = dir / ("qv-sipdump-" + tag + ".err");
  std::string command = "'" + kTool.string() + "'";
  for (const std::string& a : args) command += " '" + a + "'";
  command += " >'" + out.string() + "' 2>'" + err.string() + "'";
  ToolRun run;
  int raw = std::system(command.c_str());
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = ReadFile(out);
  run.err = ReadFile(err);
  fs::remove(out);
  fs::remove(err);
  return run;
}

std::string Escape(const std::string& value) {
  std::string out;
  char buf[5];
  for (unsigned char c : value) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c > 0x7E) {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out;
}

// The field names in declaration order; the two lists may span several lines.
const std::vector<std::string> kScalars = {
    "DtmfSignal", "CallId",     "RawText",    "ViaHost",     "RequestUser", "ToUri",        "FromUri",
    "ViaPort",    "ViaRport",   "AuthNonce",  "StatusCode",  "AuthRealm",   "AuthOpaque",   "AuthQop",
    "CSeqMethod", "FromHeader", "ToHeader",   "ViaHeaders",  "ContactUri",  "CSeqNumber",   "FromTag",
    "ToTag",      "SdpAddress", "SdpAudioPort", "ContactHost", "ContactPort", "ToUser",     "ToHostPart",
    "ToHost",     "FromHost",   "FromUser",   "RecordRouteHeaders", "SipfragStatus", "Expires", "MinExpires"};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(SipDumpTool, Rfc4475MessagesExitZeroWithOneLinePerField) {
  ASSERT_TRUE(fs::exists(kTool)) << kTool << " is not built";
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(fs::path(QV_TESTDATA_DIR) / "rfc4475"))
    if (e.path().extension() == ".dat") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 50u);

  ToolRun run = RunTool(files);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");  // no error line and no sanitizer report

  std::vector<std::string> lines = SplitLines(run.out);
  size_t at = 0;
  for (size_t f = 0; f < files.size(); ++f) {
    SCOPED_TRACE(files[f]);
    if (f > 0) {
      ASSERT_LT(at, lines.size());
      ASSERT_EQ(lines[at++], "");
    }
    ASSERT_LT(at, lines.size());
    ASSERT_EQ(lines[at++], "# " + files[f]);
    TSipMessage m(ReadFile(files[f]));

    // The lists: one indexed line per entry, or one marker line.
    std::vector<std::string> expected;
    if (m.PayloadTypes.empty()) expected.push_back("PayloadTypes: (empty)");
    for (size_t i = 0; i < m.PayloadTypes.size(); ++i)
      expected.push_back("PayloadTypes[" + std::to_string(i) + "]: " + std::to_string(m.PayloadTypes[i]));
    if (!m.RecordRoutes) expected.push_back("RecordRoutes: (absent)");
    else if (m.RecordRoutes->empty()) expected.push_back("RecordRoutes: (empty)");
    for (int i = 0; i < m.RecordRouteCount(); ++i)
      expected.push_back("RecordRoutes[" + std::to_string(i) + "]: " + Escape(m.RecordRoute(i)));
    const std::string* values[] = {
        &m.DtmfSignal, &m.CallId,      &m.RawText,     &m.ViaHost,     &m.RequestUser, &m.ToUri,
        &m.FromUri,    &m.ViaPort,     &m.ViaRport,    &m.AuthNonce,   &m.StatusCode,  &m.AuthRealm,
        &m.AuthOpaque, &m.AuthQop,     &m.CSeqMethod,  &m.FromHeader,  &m.ToHeader,    &m.ViaHeaders,
        &m.ContactUri, &m.CSeqNumber,  &m.FromTag,     &m.ToTag,       &m.SdpAddress,  &m.SdpAudioPort,
        &m.ContactHost, &m.ContactPort, &m.ToUser,     &m.ToHostPart,  &m.ToHost,      &m.FromHost,
        &m.FromUser,   &m.RecordRouteHeaders, &m.SipfragStatus, &m.Expires, &m.MinExpires};
    for (size_t i = 0; i < kScalars.size(); ++i) expected.push_back(kScalars[i] + ": " + Escape(*values[i]));
    if (m.Contacts.empty()) expected.push_back("Contacts: (empty)");
    for (size_t i = 0; i < m.Contacts.size(); ++i)
      expected.push_back("Contacts[" + std::to_string(i) + "]: " + Escape(m.Contacts[i]));

    for (const std::string& want : expected) {
      ASSERT_LT(at, lines.size());
      ASSERT_EQ(lines[at++], want);
    }
  }
  EXPECT_EQ(at, lines.size());
}

TEST(SipDumpTool, UnreadableFileIsReportedAndTheOthersStillShown) {
  ASSERT_TRUE(fs::exists(kTool));
  std::string good = (fs::path(QV_TESTDATA_DIR) / "rfc4475" / "esc01.dat").string();
  ToolRun run = RunTool({"/nonexistent/qv-no-such-file", good});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot read /nonexistent/qv-no-such-file"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("CallId: esc01.239409asdfakjkn23onasd0-3234\n"), std::string::npos);

  ToolRun help = RunTool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: quorvelle-sipdump"), std::string::npos);
  EXPECT_EQ(RunTool({}).status, 2);
}

}  // namespace
}  // namespace qv
