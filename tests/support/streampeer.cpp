#include "support/streampeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

#include "sip/streamframer.h"

namespace qv::test {

struct TStreamPeer::TImpl {
  int listen = -1;
  SSL_CTX* ctx = nullptr;
  std::atomic<bool> stop{false};
  mutable std::mutex lock;
  std::condition_variable arrived;
  std::deque<std::string> messages;
  int fd = -1;  // the current connection
  SSL* ssl = nullptr;
  bool dropping = false;
  int connections = 0;
  int pings = 0;
  bool handshakeFailed = false;
};

TStreamPeer::TStreamPeer() : impl_(new TImpl) { Listen(); }

TStreamPeer::TStreamPeer(const TServerCert& cert) : impl_(new TImpl) {
  impl_->ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate_file(impl_->ctx, cert.CertFile.c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_use_PrivateKey_file(impl_->ctx, cert.KeyFile.c_str(), SSL_FILETYPE_PEM);
  Listen();
}

// A listening socket on a free loopback port, and the thread that serves it.
void TStreamPeer::Listen() {
  impl_->listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(impl_->listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(impl_->listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(impl_->listen, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  ::listen(impl_->listen, 4);
  thread_ = std::thread([this] { Run(); });
}

TStreamPeer::~TStreamPeer() {
  impl_->stop = true;
  thread_.join();
  close(impl_->listen);
  if (impl_->ctx) SSL_CTX_free(impl_->ctx);
  delete impl_;
}

void TStreamPeer::Run() {
  sigset_t pipe;  // as in the engine's connection thread: no SIGPIPE from OpenSSL's writes
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  TImpl& s = *impl_;
  while (!s.stop) {
    pollfd p{s.listen, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept(s.listen, nullptr, nullptr);
    if (fd < 0) continue;
    SSL* ssl = nullptr;
    if (s.ctx) {
      ssl = SSL_new(s.ctx);
      SSL_set_fd(ssl, fd);
      timeval tv{5, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      if (SSL_accept(ssl) != 1) {
        std::lock_guard guard(s.lock);
        s.handshakeFailed = true;
        ++s.connections;
        SSL_free(ssl);
        close(fd);
        continue;
      }
      timeval none{0, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    }
    {
      std::lock_guard guard(s.lock);
      s.fd = fd;
      s.ssl = ssl;
      s.dropping = false;
      s.handshakeFailed = false;
      ++s.connections;
    }
    TStreamFramer framer;
    char buffer[4096];
    while (!s.stop) {
      {
        std::lock_guard guard(s.lock);
        if (s.dropping) break;
      }
      pollfd q{fd, POLLIN, 0};
      if ((!ssl || SSL_pending(ssl) == 0) && poll(&q, 1, 50) <= 0) continue;
      int n;
      {
        std::lock_guard guard(s.lock);
        n = ssl ? SSL_read(ssl, buffer, sizeof buffer) : int(recv(fd, buffer, sizeof buffer, MSG_DONTWAIT));
      }
      if (n <= 0) break;
      framer.Feed(std::string_view(buffer, size_t(n)));
      std::string message;
      for (TStreamFramer::TItem item; (item = framer.Next(message)) != TStreamFramer::TItem::None;) {
        if (item == TStreamFramer::TItem::Broken) break;
        std::lock_guard guard(s.lock);
        if (item == TStreamFramer::TItem::Ping) {
          ++s.pings;
          if (ssl) SSL_write(ssl, "\r\n", 2);
          else (void)!send(fd, "\r\n", 2, MSG_NOSIGNAL);
        }
        if (item == TStreamFramer::TItem::Message) {
          s.messages.push_back(message);
          s.arrived.notify_all();
        }
      }
    }
    std::lock_guard guard(s.lock);
    if (ssl) SSL_free(ssl);
    close(fd);
    s.fd = -1;
    s.ssl = nullptr;
  }
}

std::optional<std::string> TStreamPeer::Receive(int timeoutMs) {
  std::unique_lock guard(impl_->lock);
  if (!impl_->arrived.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return !impl_->messages.empty(); }))
    return std::nullopt;
  std::string m = std::move(impl_->messages.front());
  impl_->messages.pop_front();
  return m;
}

std::string TStreamPeer::Expect(const std::string& start, int timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
    if (left <= 0) break;
    std::optional<std::string> m = Receive(left);
    if (!m) break;
    if (m->rfind(start, 0) == 0) return *m;
  }
  throw std::runtime_error("no \"" + start + "\" came over the stream");
}

bool TStreamPeer::Send(const std::string& text) {
  std::lock_guard guard(impl_->lock);
  if (impl_->fd < 0) return false;
  if (impl_->ssl) return SSL_write(impl_->ssl, text.data(), int(text.size())) == int(text.size());
  return send(impl_->fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
}

void TStreamPeer::Drop() {
  std::lock_guard guard(impl_->lock);
  impl_->dropping = true;
  if (impl_->fd >= 0) shutdown(impl_->fd, SHUT_RDWR);
}

int TStreamPeer::Connections() const {
  std::lock_guard guard(impl_->lock);
  return impl_->connections;
}

int TStreamPeer::Pings() const {
  std::lock_guard guard(impl_->lock);
  return impl_->pings;
}

bool TStreamPeer::HandshakeFailed() const {
  std::lock_guard guard(impl_->lock);
  return impl_->handshakeFailed;
}

}  // namespace qv::test
