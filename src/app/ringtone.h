// TRingThread: loops the ring tone on a sound device while an incoming call
// waits. Creating one starts the sound; destroying it stops the sound at once
// (the device is reset) and waits for the thread to end.
//
// The sound is played in 100 ms buffers (4410 bytes at 22050 Hz, 16-bit
// mono), two of them queued at a time: each buffer that comes back is filled
// with the next 100 ms and queued again, and when less than a whole buffer is
// left the sound starts again from the beginning (the short tail is skipped).
//
// Threads: constructed and destroyed by one thread (the GUI thread); the ring
// thread owns the device and the sound data after the constructor returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/messagequeue.h"

namespace qv {

class TRingThread {
public:
  static constexpr int kBufferBytes = 4410;
  static constexpr int kBufferCount = 16;

  // `resource`: the number of a WAV resource (media/resources.h); `device`: a
  // wave-output device number, -1 for the default device. A device that
  // cannot be opened leaves the thread waiting silently until destroyed.
  TRingThread(int resource, int device);
  ~TRingThread();
  TRingThread(const TRingThread&) = delete;
  TRingThread& operator=(const TRingThread&) = delete;

  int Device() const { return device_; }
  // The ring sound as 16-bit mono samples at 22050 Hz.
  const std::string& Pcm() const { return pcm_; }

private:
  void Execute();
  // Copies the next buffer's worth of sound from the current position.
  void ReadNext(char* buffer);

  const int device_;
  std::string pcm_;
  size_t position_ = 0;
  TMessageQueue queue_;  // declared before the thread: it outlives the device
  std::atomic<bool> terminated_{false};
  std::thread thread_;
};

}  // namespace qv
