#include "support/peer_coturn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace qv::test {

namespace {

// A classic binding request (no attributes) until an answer comes.
bool StunAnswers(int port, int timeoutMs) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string request("\x00\x01\x00\x00", 4);
  request += "probe-0123456789";  // 16 bytes of transaction id
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool answered = false;
  while (!answered && std::chrono::steady_clock::now() < end) {
    sendto(s, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buffer[2048];
      answered = recv(s, buffer, sizeof buffer, 0) >= 20 && buffer[0] == 0x01 && buffer[1] == 0x01;
    }
  }
  close(s);
  return answered;
}

}  // namespace

TCoturn::TCoturn(const TPeerDir& dir) {
  std::string program = RequireProgram("turnserver", "coturn");
  port_ = FreeUdpPort();
  std::vector<std::string> argv = {program, "-n", "--listening-ip=127.0.0.1",
                                   "--listening-port=" + std::to_string(port_),
                                   "--stun-only", "--no-tls", "--no-dtls", "--no-tcp", "--no-cli",
                                   "--simple-log", "--log-file=stdout",
                                   "--pidfile=" + dir.File("turnserver.pid")};
  process_ = std::make_unique<TPeerProcess>(argv, dir.File("turnserver.log"), dir.Path());
  if (!StunAnswers(port_, 10000))
    throw std::runtime_error("coturn did not answer on port " + std::to_string(port_) + ":\n" +
                             process_->LogTail());
}

}  // namespace qv::test
