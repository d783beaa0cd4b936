#include "sip/udp.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/messagequeue.h"
#include "platform/thread.h"
#include "sip/iputils.h"

namespace qv {

// Everything the thread touches lives here and is shared with it, so that a
// transport destroyed from inside its own receiver (the last reference to the
// engine dropped on the transport thread) can let the thread finish alone.
struct TUdpSocket::TState {
  int socket = kInvalidSocket;
  int port = 0;
  std::atomic<bool> terminated{false};
  TMessageQueue queue;
  std::recursive_mutex lock;  // held while a datagram is handed to the receiver or the timer runs
  TReceiver receiver;
  TTimer timer;

  ~TState() { CloseSocket(socket); }
};

TUdpSocket::TUdpSocket(int port) : state_(std::make_shared<TState>()) {
  state_->socket = CreateUdpSocket(port, TSocketSet::Sip);
  state_->port = BoundPort(state_->socket);
  thread_ = std::thread(&TUdpSocket::Run, state_);
}

TUdpSocket::~TUdpSocket() {
  state_->terminated = true;
  state_->queue.Post(MsgWakeUp);
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // we are inside the receiver; the thread ends on its own
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

bool TUdpSocket::Send(const std::string& host, int port, int length, const void* bytes) {
  return SendDatagram(TSocketSet::Sip, state_->socket, bytes, length, port, host);
}

void TUdpSocket::SetReceiver(TReceiver receiver) {
  std::lock_guard<std::recursive_mutex> guard(state_->lock);
  state_->receiver = std::move(receiver);
}

void TUdpSocket::SetTimer(TTimer timer) {
  std::lock_guard<std::recursive_mutex> guard(state_->lock);
  state_->timer = std::move(timer);
}

int TUdpSocket::Port() const { return state_->port; }

void TUdpSocket::Run(std::shared_ptr<TState> state) {
  SetThreadName("qv-sip");
  MarkTransportThread();
  SetTimeCriticalPriority();
  std::vector<uint8_t> buffer(kReceiveBufferSize);
  std::vector<bool> readable;
  const std::vector<int> fds{state->socket};
  auto runTimer = [&] {
    try {
      std::lock_guard<std::recursive_mutex> guard(state->lock);
      if (state->timer) state->timer();
    } catch (...) {
      // A timer that raised is tried again at the next turn.
    }
  };
  while (!state->terminated) {
    // Shutdown posts a wake-up; the bound is the timers' resolution.
    state->queue.Wait(kTimerResolutionMs, fds, &readable);
    if (state->terminated) break;
    TMessage message;
    while (state->queue.Get(message)) {
    }
    runTimer();
    if (!readable[0]) continue;
    // Take every datagram that is waiting, one at a time, in arrival order.
    while (!state->terminated) {
      int length = 0, senderPort = 0;
      std::string sender;
      try {
        if (!ReceiveDatagram(state->socket, buffer.data(), kReceiveBufferSize, length, senderPort, sender))
          break;
      } catch (...) {
        break;  // a receive error: wait for the next readiness
      }
      if (length <= 0) continue;
      try {
        std::lock_guard<std::recursive_mutex> guard(state->lock);
        if (state->receiver) state->receiver(sender, senderPort, length, buffer.data());
      } catch (...) {
        // A datagram whose handling raised ends there; the next one is handled normally.
      }
    }
  }
}

}  // namespace qv
