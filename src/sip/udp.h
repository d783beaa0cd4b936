// TUdpSocket: the thread that owns the SIP socket. It waits for datagrams and
// hands each one to the receiver, strictly one at a time and in arrival order;
// the engine's whole incoming dispatch runs inside that callback. Between
// datagrams, and at least every 50 ms, it runs the timer callback: the
// retransmissions and time-outs of the transactions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace qv {

class TUdpSocket {
public:
  // (sender address, sender port, byte count, bytes); the bytes are valid only
  // during the call. Runs on the transport thread.
  using TReceiver = std::function<void(const std::string&, int, int, const uint8_t*)>;
  using TTimer = std::function<void()>;

  // Creates and binds the socket first ("bind failed" etc. raise from here and
  // no thread runs), then starts the thread.
  explicit TUdpSocket(int port);
  // Stops and joins the thread (at once: a wake-up message ends its wait) and
  // closes the socket.
  ~TUdpSocket();
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;

  // Any thread.
  bool Send(const std::string& host, int port, int length, const void* bytes);
  void SetReceiver(TReceiver receiver);
  void SetTimer(TTimer timer);
  int Port() const;

  static constexpr int kReceiveBufferSize = 4096;
  // The longest the thread waits before it runs the timer callback again.
  static constexpr int kTimerResolutionMs = 50;

private:
  struct TState;
  static void Run(std::shared_ptr<TState> state);

  std::shared_ptr<TState> state_;
  std::thread thread_;
};

}  // namespace qv
