#include "support/peer_kamailio.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

namespace qv::test {

namespace {

std::string ModuleDir() {
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/kamailio/modules", "/usr/lib/aarch64-linux-gnu/kamailio/modules",
                          "/usr/lib/kamailio/modules", "/usr/lib64/kamailio/modules"})
    if (std::filesystem::exists(std::string(dir) + "/tm.so")) return dir;
  throw std::runtime_error("Kamailio's modules were not found (Debian package kamailio)");
}

}  // namespace

bool SipPortAnswers(int port, int timeoutMs) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in self = to;
  self.sin_port = 0;
  bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self);
  socklen_t len = sizeof self;
  getsockname(s, reinterpret_cast<sockaddr*>(&self), &len);
  std::string probe = "OPTIONS sip:127.0.0.1:" + std::to_string(port) + " SIP/2.0\r\n"
                      "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(ntohs(self.sin_port)) + ";branch=z9hG4bKprobe\r\n"
                      "From: <sip:probe@127.0.0.1>;tag=p\r\nTo: <sip:127.0.0.1>\r\n"
                      "Call-ID: probe\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool answered = false;
  while (!answered && std::chrono::steady_clock::now() < end) {
    sendto(s, probe.data(), probe.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buffer[2048];
      answered = recv(s, buffer, sizeof buffer, 0) > 0;
    }
  }
  close(s);
  return answered;
}

TKamailio::TKamailio(const TPeerDir& dir, const std::vector<TSipUser>& users, bool qop, int port,
                     const std::vector<std::string>& defines, const TKamailioTls& tls) {
  std::string program = RequireProgram("kamailio", "kamailio");
  port_ = port != 0 ? port : FreeUdpPort();
  std::string db = dir.Subdir("kamailio-db");
  std::string run = dir.Subdir("kamailio-run");
  // db_text: a version table and the subscribers with plain passwords.
  WriteTextFile(db + "/version", "id(int,auto) table_name(string) table_version(int) \n0:subscriber:7\n");
  std::string subscribers = "id(int,auto) username(string) domain(string) password(string) ha1(string,null) ha1b(string,null) \n";
  int id = 1;
  for (const TSipUser& user : users)
    subscribers += std::to_string(id++) + ":" + user.Name + ":127.0.0.1:" + user.Password + "::\n";
  WriteTextFile(db + "/subscriber", subscribers);
  std::string config = dir.File("kamailio.cfg");
  if (!tls.CertFile.empty()) {
    tlsPort_ = tls.Port != 0 ? tls.Port : FreeUdpPort();
    if (!std::filesystem::exists(ModuleDir() + "/tls.so"))
      throw std::runtime_error("Kamailio's tls module is missing (Debian package kamailio-tls-modules)");
    WriteTextFile(dir.File("kamailio-tls.cfg"), "[server:default]\nmethod = TLSv1.2+\nverify_certificate = no\n"
                                                "require_certificate = no\nprivate_key = " + tls.KeyFile +
                                                "\ncertificate = " + tls.CertFile +
                                                "\n\n[client:default]\nverify_certificate = no\n"
                                                "require_certificate = no\n");
  }
  WriteTextFile(config, Substitute(ReadTextFile(InteropDataDir() + "/kamailio.cfg.in"),
                                   {{"PORT", std::to_string(port_)}, {"TLSPORT", std::to_string(tlsPort_)},
                                    {"MPATH", ModuleDir() + "/"}}));
  std::vector<std::string> argv = {program, "-f", config, "-A", "DBURL=\"text://" + db + "\"",
                                   "-DD", "-E", "-m", "64", "-M", "8",
                                   "-P", run + "/kamailio.pid", "-Y", run};
  if (qop) argv.insert(argv.begin() + 3, {"-A", "WITH_QOP"});
  for (const std::string& define : defines) argv.insert(argv.begin() + 3, {"-A", define});
  if (!tls.CertFile.empty())
    argv.insert(argv.begin() + 3, {"-A", "WITH_STREAMS", "-A", "TLS_CONFIG=\"" + dir.File("kamailio-tls.cfg") + "\""});
  process_ = std::make_unique<TPeerProcess>(argv, dir.File("kamailio.log"), dir.Path());
  if (!SipPortAnswers(port_, 10000))
    throw std::runtime_error("Kamailio did not answer on port " + std::to_string(port_) + ":\n" +
                             process_->LogTail());
}

}  // namespace qv::test
