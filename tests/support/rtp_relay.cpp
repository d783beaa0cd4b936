#include "support/rtp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/thread.h"

namespace qv::test {

TRtpRelay::TRtpRelay(int a, int b) : a_(a), b_(b) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd_);
    throw std::runtime_error("bind failed");
  }
  socklen_t len = sizeof addr;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  int big = 1 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  thread_ = std::thread([this] { Run(); });
}

TRtpRelay::~TRtpRelay() {
  quit_ = true;
  thread_.join();
  close(fd_);
}

void TRtpRelay::HoldAToB(int ms) {
  std::lock_guard guard(lock_);
  holdUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

void TRtpRelay::SendTo(int port, const uint8_t* bytes, size_t length) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(uint16_t(port));
  sendto(fd_, bytes, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ++forwarded_;
}

void TRtpRelay::Run() {
  // A network path, not a program competing for the processor.
  SetTimeCriticalPriority();
  uint8_t buffer[2048];
  while (!quit_) {
    pollfd p{fd_, POLLIN, 0};
    const bool readable = poll(&p, 1, 2) > 0;
    std::lock_guard guard(lock_);
    const bool holding = std::chrono::steady_clock::now() < holdUntil_;
    if (!holding && !held_.empty()) {
      for (const auto& packet : held_) SendTo(b_, packet.data(), packet.size());
      held_.clear();
    }
    if (!readable) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) continue;
    const int port = ntohs(from.sin_port);
    if (port == a_) {
      if (holding)
        held_.emplace_back(buffer, buffer + n);
      else
        SendTo(b_, buffer, size_t(n));
    } else if (port == b_) {
      SendTo(a_, buffer, size_t(n));
    }
  }
}

}  // namespace qv::test
