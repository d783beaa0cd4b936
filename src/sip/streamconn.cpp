#include "sip/streamconn.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "sip/iputils.h"
#include "sip/streamframer.h"

namespace qv {

struct TStreamConnection::TState {
  TOptions options;
  TReceiver receiver;
  TClosed closed;
  int wake = -1;  // eventfd: Send and Close wake the thread's poll
  std::atomic<bool> closing{false};
  std::atomic<bool> done{false};
  std::atomic<size_t> unsent{0};  // the thread's bytes taken from `queued`, not written yet
  std::mutex lock;  // guards what follows
  std::string queued;
  std::string closeReason;
  std::string description;

  ~TState() {
    if (wake >= 0) close(wake);
  }
  void Wake() {
    uint64_t one = 1;
    ssize_t n = write(wake, &one, sizeof one);
    (void)n;
  }
};

namespace {

// One step of the thread's life that ends the connection.
struct TEnd {
  std::string reason;
  bool insecure = false;
};

std::string Where(const TStreamConnection::TOptions& o) { return o.Host + ":" + std::to_string(o.Port); }

std::string Overflow(const TStreamConnection::TOptions& o, size_t waiting) {
  return "the server stopped reading: " + std::to_string(waiting) + " bytes waited to go to " + Where(o) +
         " (at most " + std::to_string(o.MaxQueuedBytes) + ")";
}

short PollEvents(TTlsStream::TWant want) {
  return want == TTlsStream::TWant::Write ? POLLOUT : POLLIN;
}

}  // namespace

TStreamConnection::TStreamConnection(TOptions options, TReceiver receiver, TClosed closed)
    : state_(std::make_shared<TState>()) {
  state_->options = std::move(options);
  state_->receiver = std::move(receiver);
  state_->closed = std::move(closed);
  state_->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  thread_ = std::thread(Run, state_);
}

TStreamConnection::~TStreamConnection() {
  Close();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // our own thread lets go of us: it ends by itself
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

bool TStreamConnection::Send(const std::string& text) {
  if (state_->done.load() || state_->closing.load()) return false;
  bool taken = true;
  {
    std::lock_guard guard(state_->lock);
    const size_t waiting = state_->queued.size() + state_->unsent.load() + text.size();
    if (waiting <= state_->options.MaxQueuedBytes) {
      state_->queued += text;
    } else if (!state_->closing.load()) {
      std::string().swap(state_->queued);  // the memory goes now, not when the thread ends
      state_->closeReason = Overflow(state_->options, waiting);
      state_->closing = true;
      taken = false;
    }
  }
  state_->Wake();
  return taken;
}

size_t TStreamConnection::Waiting() const {
  std::lock_guard guard(state_->lock);
  return state_->queued.size() + state_->unsent.load();
}

bool TStreamConnection::Open() const { return !state_->done.load() && !state_->closing.load(); }

void TStreamConnection::Close(const std::string& reason) {
  {
    std::lock_guard guard(state_->lock);
    if (state_->closing.load()) return;
    state_->closeReason = reason;
  }
  state_->closing = true;
  state_->Wake();
}

std::string TStreamConnection::Description() {
  std::lock_guard guard(state_->lock);
  return state_->description;
}

void TStreamConnection::Run(std::shared_ptr<TState> s) {
  // OpenSSL writes to the socket without MSG_NOSIGNAL: a write to a peer
  // that has gone (the close_notify after a dropped connection) must not
  // end the program with SIGPIPE. Blocked here, the signal stays with this
  // thread, which ends soon after.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  MarkTransportThread();
  const TOptions& o = s->options;
  const std::string where = Where(o);
  TEnd end;
  int fd = -1;
  std::unique_ptr<TTlsStream> tls;
  // Waits until `fd` is ready for `events`, the wake-up or the deadline;
  // false when the connection is being closed or the time is up.
  auto waitFor = [&](short events, int64_t deadline) {
    while (!s->closing.load()) {
      const int64_t left = deadline - MonotonicMs();
      if (left <= 0) return false;
      pollfd p[2] = {{fd, events, 0}, {s->wake, POLLIN, 0}};
      int n = poll(p, 2, int(left));
      if (n < 0 && errno != EINTR) return false;
      if (p[1].revents & POLLIN) {
        uint64_t v;
        ssize_t r = read(s->wake, &v, sizeof v);
        (void)r;
      }
      if (p[0].revents) return true;
    }
    return false;
  };
  try {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(o.Port));
    if (inet_pton(AF_INET, o.Host.c_str(), &to.sin_addr) != 1) throw TEnd{"no address to connect to: " + o.Host};
    fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw TEnd{std::string("socket: ") + std::strerror(errno)};
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)
      throw TEnd{"connection to " + where + " failed: " + std::strerror(errno)};
    const int64_t deadline = MonotonicMs() + o.ConnectWaitMs;
    if (!waitFor(POLLOUT, deadline)) throw TEnd{s->closing ? "" : "no connection to " + where + " (timed out)"};
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) throw TEnd{"connection to " + where + " failed: " + std::strerror(error)};
    if (o.Tls) {
      auto context = std::make_shared<TTlsContext>(o.CaFile);  // a CA file that cannot be read fails here
      tls = std::make_unique<TTlsStream>(context, fd, o.TlsName.empty() ? o.Host : o.TlsName);
      for (TTlsStream::TWant want; (want = tls->Handshake()) != TTlsStream::TWant::None;)
        if (!waitFor(PollEvents(want), deadline)) throw TEnd{s->closing ? "" : "TLS: no handshake with " + where + " (timed out)"};
      std::lock_guard guard(s->lock);
      s->description = tls->Description();
    }

    TStreamFramer framer;
    std::string out;  // taken from the queue, not written yet
    int64_t pingAt = o.KeepAliveMs > 0 ? MonotonicMs() + o.KeepAliveMs : 0;
    int64_t pongDue = 0;
    bool pongsSeen = false;
    TTlsStream::TWant readWant = TTlsStream::TWant::None, writeWant = TTlsStream::TWant::None;
    char buffer[8192];
    while (!s->closing.load()) {
      {
        std::lock_guard guard(s->lock);
        out += s->queued;
        s->queued.clear();
        s->unsent = out.size();
      }
      const int64_t now = MonotonicMs();
      if (pingAt != 0 && now >= pingAt) {
        out += "\r\n\r\n";
        pingAt = now + o.KeepAliveMs;
        if (pongsSeen && pongDue == 0) pongDue = now + o.PongWaitMs;
      }
      if (pongDue != 0 && now >= pongDue) throw TEnd{"the server stopped answering keep-alives on " + where};
      // Write what is there.
      while (!out.empty()) {
        int n;
        if (tls) {
          n = tls->Write(out.data(), int(out.size()), writeWant);
        } else {
          n = int(send(fd, out.data(), out.size(), MSG_NOSIGNAL));
          if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            throw TEnd{"connection to " + where + " broken: " + std::strerror(errno)};
          writeWant = n < 0 ? TTlsStream::TWant::Write : TTlsStream::TWant::None;
        }
        if (n <= 0) break;
        out.erase(0, size_t(n));
        s->unsent = out.size();
      }
      if (out.size() > o.MaxQueuedBytes) throw TEnd{Overflow(o, out.size())};
      short events = POLLIN;
      if (!out.empty()) events |= PollEvents(writeWant);
      if (readWant == TTlsStream::TWant::Write) events |= POLLOUT;
      int64_t wait = 1000;
      if (pingAt != 0) wait = std::min<int64_t>(wait, std::max<int64_t>(0, pingAt - now));
      pollfd p[2] = {{fd, events, 0}, {s->wake, POLLIN, 0}};
      int n = poll(p, 2, int(wait));
      if (n < 0 && errno != EINTR) throw TEnd{std::string("poll: ") + std::strerror(errno)};
      if (p[1].revents & POLLIN) {
        uint64_t v;
        ssize_t r = read(s->wake, &v, sizeof v);
        (void)r;
      }
      if (!p[0].revents) continue;
      // Read all there is (TLS may hold decrypted bytes the socket no longer shows).
      for (;;) {
        int got;
        if (tls) {
          got = tls->Read(buffer, sizeof buffer, readWant);
        } else {
          got = int(recv(fd, buffer, sizeof buffer, 0));
          if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            throw TEnd{"connection to " + where + " broken: " + std::strerror(errno)};
        }
        if (got == 0) throw TEnd{"the server closed the connection " + where};
        if (got < 0) break;
        framer.Feed(std::string_view(buffer, size_t(got)));
        std::string message;
        for (TStreamFramer::TItem item; (item = framer.Next(message)) != TStreamFramer::TItem::None;) {
          if (item == TStreamFramer::TItem::Broken) throw TEnd{"the server broke the message framing on " + where};
          if (item == TStreamFramer::TItem::Ping && (out += "\r\n").size() > o.MaxQueuedBytes)
            throw TEnd{Overflow(o, out.size())};
          if (item == TStreamFramer::TItem::Pong) pongsSeen = true, pongDue = 0;
          if (item == TStreamFramer::TItem::Message && s->receiver) s->receiver(message, o.Host, o.Port);
        }
      }
    }
  } catch (const TEnd& e) {
    end = e;
  } catch (const TTlsError& e) {
    // Only a handshake that failed says the server cannot be trusted; a
    // stream that breaks later is a connection lost like any other.
    end = {e.what(), !tls || !tls->Established()};
  } catch (const std::exception& e) {
    end = {e.what(), false};
  }
  s->unsent = 0;  // `out` is gone with the loop
  tls.reset();
  if (fd >= 0) close(fd);
  std::string reason;
  {
    std::lock_guard guard(s->lock);
    reason = s->closing.load() && end.reason.empty() ? s->closeReason : end.reason;
  }
  s->done = true;
  if (s->closed) s->closed(reason, end.insecure);
}

}  // namespace qv
