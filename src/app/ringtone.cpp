#include "app/ringtone.h"

#include <array>
#include <cstring>
#include <vector>

#include "media/resources.h"
#include "media/wavfiles.h"
#include "platform/audiodevice.h"
#include "platform/thread.h"

namespace qv {

TRingThread::TRingThread(int resource, int device) : device_(device) {
  LoadWavAsPcm(GetResource(resource), pcm_, 16, int(kRingFormat.SamplesPerSec));
  position_ = 0;
  thread_ = std::thread([this] { Execute(); });
}

TRingThread::~TRingThread() {
  terminated_ = true;
  queue_.Post(MsgWakeUp);  // the thread may be waiting for a buffer
  thread_.join();
}

void TRingThread::ReadNext(char* buffer) {
  size_t count = 0;
  if (position_ < pcm_.size()) {
    count = std::min(pcm_.size() - position_, size_t(kBufferBytes));
    std::memcpy(buffer, pcm_.data() + position_, count);
    position_ += count;
  }
  std::memset(buffer + count, 0, size_t(kBufferBytes) - count);
}

void TRingThread::Execute() {
  SetThreadName("qv-ring");
  // The buffers are declared before the device: it must be closed before
  // they go away.
  std::vector<char> data(size_t(kBufferBytes) * kBufferCount);
  std::array<TWaveHeader, kBufferCount> headers;
  for (int i = 0; i < kBufferCount; ++i) {
    headers[size_t(i)].Data = data.data() + size_t(i) * kBufferBytes;
    headers[size_t(i)].BufferLength = kBufferBytes;
    headers[size_t(i)].User = 0;
  }
  IWaveDevicePtr device;
  try {
    device = WaveOutOpen(device_, kRingFormat, &queue_);
  } catch (...) {
    // No sound then; the thread still lives until it is told to go.
  }
  auto queue = [&](TWaveHeader& header) {
    header.Done = false;
    header.BufferLength = kBufferBytes;
    ReadNext(header.Data);
    if (device) device->AddBuffer(&header);
  };
  try {
    queue(headers[0]);
    queue(headers[1]);
  } catch (...) {
  }
  while (!terminated_) {
    queue_.Wait(-1);
    TMessage message;
    while (!terminated_ && queue_.Get(message)) {
      if (message.Msg != MsgWaveOutDone) continue;
      try {
        auto* header = reinterpret_cast<TWaveHeader*>(message.LParam);
        if (header < headers.data() || header >= headers.data() + kBufferCount) continue;
        if (pcm_.size() - std::min(position_, pcm_.size()) < size_t(kBufferBytes)) position_ = 0;
        queue(*header);
      } catch (...) {
        // A refused buffer costs 100 ms of sound, not the ring.
      }
    }
  }
  if (device) {
    try {
      device->Reset();
      device->Close();
    } catch (...) {
    }
  }
}

}  // namespace qv
