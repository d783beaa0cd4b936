// A UDP relay on 127.0.0.1 between the two sides of a call, as a network path
// the test can stall: what one side sends to the relay goes on to the other.
// Hold() keeps the packets of one direction for a while and then lets them
// all go at once, as a congested link or a Wi-Fi handover does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace qv::test {

class TRtpRelay {
public:
  // Packets from port `a` go to port `b` and back, all on 127.0.0.1.
  TRtpRelay(int a, int b);
  ~TRtpRelay();
  TRtpRelay(const TRtpRelay&) = delete;
  TRtpRelay& operator=(const TRtpRelay&) = delete;

  int Port() const { return port_; }
  // Packets from `a` to `b` are held for `ms`, then sent in one burst.
  void HoldAToB(int ms);
  uint64_t Forwarded() const { return forwarded_.load(); }

private:
  void Run();
  void SendTo(int port, const uint8_t* bytes, size_t length);

  int fd_ = -1;
  int port_ = 0;
  const int a_, b_;
  std::atomic<bool> quit_{false};
  std::atomic<uint64_t> forwarded_{0};
  std::mutex lock_;
  std::chrono::steady_clock::time_point holdUntil_{};
  std::vector<std::vector<uint8_t>> held_;
  std::thread thread_;
};

}  // namespace qv::test
