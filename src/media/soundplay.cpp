#include "media/soundplay.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "media/rtp.h"
#include "media/rtpreceive.h"
#include "platform/audiodevice.h"
#include "platform/clock.h"
#include "platform/messagequeue.h"
#include "platform/thread.h"
#include "sip/iputils.h"

namespace qv {

void ReportDeviceError(const std::weak_ptr<ISipCall>& call, bool input, const std::string& reason) {
  ISipCallPtr owner = call.lock();
  if (!owner) return;
  if (ISipEnginePtr engine = owner->GetEngine()) engine->NotifyDeviceError(owner, input, reason);
}

namespace {

constexpr int kReadBytes = 4096;
// Datagrams taken per wake-up before the queue (buffers coming back) is
// looked at again; the socket stays readable for the rest.
constexpr int kDatagramsPerWake = 8;
constexpr auto kSlice = std::chrono::milliseconds(10);  // a play buffer, without a device

}  // namespace

struct TSoundCardOutput::TState {
  TState(std::weak_ptr<ISipCall> c, IAudioCodecPtr codec, int device, std::shared_ptr<TRtpPeerState> shared,
         int rate)
      : call(std::move(c)), outputDevice(device), receiver(std::move(codec), std::move(shared), rate) {}

  const std::weak_ptr<ISipCall> call;
  const int outputDevice;
  std::atomic<bool> terminated{false};
  std::atomic<bool> deviceFailed{false};
  TMessageQueue queue;

  std::mutex socketLock;  // leaf lock: guards `socket` only
  std::shared_ptr<TRtpSocket> socket;

  std::mutex startLock;
  std::condition_variable startSignal;
  bool started = false;

  // Playback thread only.
  TRtpReceiver receiver;
  uint8_t datagram[kReadBytes] = {};
  std::string sender;
};

TSoundCardOutput::TSoundCardOutput(std::weak_ptr<ISipCall> call, IAudioCodecPtr codec, int outputDevice,
                                   std::shared_ptr<TRtpPeerState> shared, int rate)
    : state_(std::make_shared<TState>(std::move(call), std::move(codec), outputDevice, std::move(shared), rate)) {
  thread_ = std::thread(&TSoundCardOutput::Run, state_);
  std::unique_lock lock(state_->startLock);
  state_->startSignal.wait(lock, [this] { return state_->started; });
}

TSoundCardOutput::~TSoundCardOutput() {
  state_->terminated = true;
  state_->queue.Post(MsgWakeUp);
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // the call died on its own playback thread; it ends by itself
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

void TSoundCardOutput::SetSocket(std::shared_ptr<TRtpSocket> socket) {
  {
    std::lock_guard guard(state_->socketLock);
    state_->socket = std::move(socket);
  }
  state_->queue.Post(MsgWakeUp);  // so that the thread waits on the new socket
}

bool TSoundCardOutput::DeviceFailed() const { return state_->deviceFailed.load(); }

void TSoundCardOutput::Run(std::shared_ptr<TState> state) {
  SetThreadName("qv-playback");
  SetTimeCriticalPriority();
  {
    std::lock_guard lock(state->startLock);
    state->started = true;
  }
  state->startSignal.notify_all();

  IWaveDevicePtr device;
  try {
    const TWaveFormat format{uint32_t(state->receiver.Rate()), 1, 16};
    device = WaveOutOpen(state->outputDevice, format, &state->queue);
  } catch (const std::exception& e) {
    state->deviceFailed = true;  // play nothing; the rest of the call goes on
    ReportDeviceError(state->call, false, e.what());
  }
  state->receiver.SetDevice(device.get());
  state->receiver.SetLastVoiceTime(GetTickMs());

  using Clock = std::chrono::steady_clock;
  Clock::time_point nextSlice = Clock::now() + kSlice;
  std::vector<int> fds;
  fds.reserve(1);
  std::vector<bool> readable;
  std::shared_ptr<TRtpSocket> socket;
  TRtpAddress from;
  while (!state->terminated) {
    {
      std::lock_guard guard(state->socketLock);
      if (socket != state->socket) socket = state->socket;
    }
    fds.assign(socket ? 1 : 0, socket ? socket->Fd : -1);
    // Without a device the thread is the playout's clock.
    const bool clocked = state->receiver.NeedsClock();
    int timeout = -1;
    if (clocked)
      timeout = int(std::max<int64_t>(
          0, std::chrono::duration_cast<std::chrono::milliseconds>(nextSlice - Clock::now()).count()));
    state->queue.Wait(timeout, fds, &readable);
    TMessage message;
    while (!state->terminated && state->queue.Get(message)) {
      if (message.Msg != MsgWaveOutDone) continue;
      ISipCallPtr call = state->call.lock();
      state->receiver.BufferDone(reinterpret_cast<TWaveHeader*>(message.LParam), call.get());
    }
    if (clocked && !state->terminated && Clock::now() >= nextSlice) {
      // Late wake-ups catch up, but a stalled thread does not replay seconds.
      if (Clock::now() - nextSlice > 10 * kSlice) nextSlice = Clock::now();
      nextSlice += kSlice;
      if (ISipCallPtr call = state->call.lock()) state->receiver.SliceElapsed(*call);
    }
    if (state->terminated || !socket || readable.empty() || !readable[0]) continue;
    for (int i = 0; i < kDatagramsPerWake && !state->terminated; ++i) {
      int length = 0, senderPort = 0;
      try {
        if (!ReceiveDatagram(socket->Fd, state->datagram, kReadBytes, length, senderPort, state->sender)) break;
      } catch (...) {
        break;  // a receive error (e.g. ICMP port unreachable): wait for the next readiness
      }
      if (length <= 0) continue;
      from.Host = state->sender;
      from.Port = senderPort;
      // The strong reference lives for this datagram only and is dropped
      // outside every lock; if it was the last, the call ends here.
      if (ISipCallPtr call = state->call.lock()) {
        try {
          state->receiver.HandleDatagram(state->datagram, length, from, *call);
        } catch (...) {
          // One bad datagram ends there; the next is handled normally.
        }
      }
    }
  }
  state->receiver.SetDevice(nullptr);
  if (device) {
    try {
      device->Close();
    } catch (...) {
    }
  }
}

}  // namespace qv
