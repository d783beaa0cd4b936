#include "support/kamailio.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace qv::test {

namespace {

constexpr const char* kBinary = "/usr/sbin/kamailio";
constexpr const char* kModules = "/usr/lib/x86_64-linux-gnu/kamailio/modules/";

int FreeUdpPort() {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  close(s);
  return ntohs(addr.sin_port);
}

std::string Config(int port, const std::string& password) {
  std::string p = std::to_string(port);
  return "#!KAMAILIO\n"
         "debug=1\n"
         "log_stderror=yes\n"
         "children=1\n"
         "listen=udp:127.0.0.1:" + p + "\n"
         "auto_aliases=no\n"
         "alias=\"127.0.0.1:" + p + "\"\n"
         "mpath=\"" + std::string(kModules) + "\"\n"
         "loadmodule \"kex.so\"\n"
         "loadmodule \"corex.so\"\n"
         "loadmodule \"tm.so\"\n"
         "loadmodule \"sl.so\"\n"
         "loadmodule \"rr.so\"\n"
         "loadmodule \"pv.so\"\n"
         "loadmodule \"maxfwd.so\"\n"
         "loadmodule \"usrloc.so\"\n"
         "loadmodule \"registrar.so\"\n"
         "loadmodule \"textops.so\"\n"
         "loadmodule \"siputils.so\"\n"
         "loadmodule \"auth.so\"\n"
         "modparam(\"usrloc\", \"db_mode\", 0)\n"
         "request_route {\n"
         "  if (!mf_process_maxfwd_header(\"10\")) { sl_send_reply(\"483\", \"Too Many Hops\"); exit; }\n"
         "  if (has_totag()) {\n"
         "    if (!loose_route() && is_method(\"ACK\") && !t_check_trans()) exit;\n"
         "    t_relay();\n"
         "    exit;\n"
         "  }\n"
         "  if (is_method(\"CANCEL\")) { if (t_check_trans()) t_relay(); exit; }\n"
         "  if (is_method(\"REGISTER\")) {\n"
         "    if (!pv_www_authenticate(\"$td\", \"" + password + "\", \"0\")) {\n"
         "      www_challenge(\"$td\", \"0\");\n"
         "      exit;\n"
         "    }\n"
         "    if (!save(\"location\")) sl_reply_error();\n"
         "    exit;\n"
         "  }\n"
         "  record_route();\n"
         "  if (!lookup(\"location\")) { sl_send_reply(\"404\", \"Not Found\"); exit; }\n"
         "  t_relay();\n"
         "}\n";
}

}  // namespace

bool TKamailio::Installed() { return access(kBinary, X_OK) == 0; }

TKamailio::TKamailio(const std::string& password) {
  if (!Installed()) return;
  port_ = FreeUdpPort();
  std::string cfg = dir_.filePath("kamailio.cfg").toStdString();
  std::ofstream(cfg) << Config(port_, password);
  std::string log = dir_.filePath("kamailio.log").toStdString();
  std::string run = dir_.path().toStdString();
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    setpgid(0, 0);  // its children go with it
    execl(kBinary, kBinary, "-f", cfg.c_str(), "-DD", "-E", "-m", "32", "-M", "4", "-Y", run.c_str(),
          "-P", (run + "/kamailio.pid").c_str(), nullptr);
    _exit(127);
  }
  if (pid_ > 0 && !WaitReady(10000)) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

TKamailio::~TKamailio() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string TKamailio::Log() const {
  std::ifstream in(dir_.filePath("kamailio.log").toStdString());
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Ready once it answers an OPTIONS request (with anything).
bool TKamailio::WaitReady(int timeoutMs) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(uint16_t(port_));
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&me), sizeof me);
  socklen_t len = sizeof me;
  getsockname(s, reinterpret_cast<sockaddr*>(&me), &len);
  std::string mine = "127.0.0.1:" + std::to_string(ntohs(me.sin_port));
  std::string options = "OPTIONS sip:probe@127.0.0.1:" + std::to_string(port_) + " SIP/2.0\r\n"
                        "Via: SIP/2.0/UDP " + mine + ";branch=z9hG4bKprobe1\r\n"
                        "Max-Forwards: 70\r\n"
                        "From: <sip:probe@" + mine + ">;tag=probe\r\n"
                        "To: <sip:probe@127.0.0.1>\r\n"
                        "Call-ID: probe-call\r\n"
                        "CSeq: 1 OPTIONS\r\n"
                        "Content-Length: 0\r\n\r\n";
  bool ready = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!ready && std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;  // it gave up
    sendto(s, options.data(), options.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd pfd{s, POLLIN, 0};
    if (poll(&pfd, 1, 100) > 0) ready = true;
  }
  close(s);
  return ready;
}

}  // namespace qv::test
