#include "media/soundinput.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "media/soundplay.h"
#include "platform/audiodevice.h"
#include "platform/messagequeue.h"
#include "platform/thread.h"

namespace qv {

struct TSoundCardInput::TState {
  TState(std::weak_ptr<ISipCall> c, int device, int r, TEchoCancellerPtr e)
      : call(std::move(c)),
        inputDevice(device),
        rate(r == kWideRate ? kWideRate : kNarrowRate),
        echo(std::move(e)) {}

  const std::weak_ptr<ISipCall> call;
  const int inputDevice;
  const int rate;
  const TEchoCancellerPtr echo;
  std::atomic<bool> terminated{false};
  std::atomic<int> openError{0};
  TMessageQueue queue;
  // Declared before any device can exist: the device never outlives them.
  TWaveHeader headers[kBufferCount];
  int16_t buffers[kBufferCount][kMaxFrameSamples] = {};
};

TSoundCardInput::TSoundCardInput(std::weak_ptr<ISipCall> call, int inputDevice, int rate, TEchoCancellerPtr echo)
    : state_(std::make_shared<TState>(std::move(call), inputDevice, rate, std::move(echo))) {
  thread_ = std::thread(&TSoundCardInput::Run, state_);
}

TSoundCardInput::~TSoundCardInput() {
  state_->terminated = true;
  state_->queue.Post(MsgWakeUp);
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // the call died on its own capture thread; it ends by itself
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

int TSoundCardInput::OpenError() const { return state_->openError.load(); }

void HandleCapturedBuffer(TWaveHeader& header, const std::weak_ptr<ISipCall>& call, IWaveDevice& device,
                          TEchoCanceller* echo) {
  const uint32_t frameBytes = std::min<uint32_t>(header.BufferLength, 2 * kMaxFrameSamples);
  if (header.BytesRecorded == frameBytes && frameBytes > 0) {
    // When its first sample was captured, by the device's clock; a device
    // that cannot tell filled it a moment ago, a buffer's time after that.
    const int samples = int(frameBytes / 2);
    TMediaTimeNs captured = header.TimeNs;
    if (echo && captured == 0) captured = MediaTimeNow() - int64_t(samples) * 1000000000 / echo->SampleRate();
    // SendAudioFrame may overwrite the frame (WAV source, mute, conference mix).
    int16_t frame[kMaxFrameSamples];
    std::memcpy(frame, header.Data, frameBytes);
    header.BytesRecorded = 0;
    // The strong reference lives for this frame only; if it was the last,
    // the call ends here and stops its media.
    if (ISipCallPtr owner = call.lock()) {
      try {
        // Only the microphone is cleaned: what replaces it later (a WAV
        // file, digits, the conference) holds no echo of the speaker.
        if (echo) {
          ISipEnginePtr engine = owner->GetEngine();
          echo->SetEnabled(!engine || engine->GetEchoCancellation());
          echo->Capture(frame, samples, captured);
        }
        owner->SendAudioFrame(frame);
      } catch (...) {
        // That frame is lost; the next one is handled normally.
      }
    }
  }
  try {
    device.AddBuffer(&header);
  } catch (...) {
    // Only a closed device refuses, and then the thread is ending anyway.
  }
}

void TSoundCardInput::Run(std::shared_ptr<TState> state) {
  SetThreadName("qv-capture");
  SetTimeCriticalPriority();
  IWaveDevicePtr device;
  std::string reason;
  try {
    const TWaveFormat format{uint32_t(state->rate), 1, 16};
    device = WaveInOpen(state->inputDevice, format, &state->queue);
    for (int i = 0; i < kBufferCount; ++i) {
      TWaveHeader& h = state->headers[i];
      h.Data = reinterpret_cast<char*>(state->buffers[i]);
      h.BufferLength = uint32_t(2 * FrameSamplesAt(state->rate));
      h.User = uintptr_t(i);
      device->AddBuffer(&h);
    }
    device->Start();
  } catch (const TWaveException& e) {
    state->openError = e.Code();
    reason = e.what();
  } catch (const std::exception& e) {
    state->openError = WaveErrError;
    reason = e.what();
  }
  if (state->openError != 0) {
    if (device) {
      try {
        device->Close();
      } catch (...) {
      }
    }
    if (reason.empty()) reason = WaveErrorText(WaveErrError);
    ReportDeviceError(state->call, true, reason);
    RunOnClock(*state);
    return;
  }

  while (!state->terminated) {
    state->queue.Wait(-1);
    TMessage message;
    while (!state->terminated && state->queue.Get(message)) {
      if (message.Msg == MsgWaveInData)
        HandleCapturedBuffer(*reinterpret_cast<TWaveHeader*>(message.LParam), state->call, *device,
                             state->echo.get());
    }
  }
  try {
    device->Close();  // resets and stops the device before the buffers go
  } catch (...) {
  }
}

void TSoundCardInput::RunOnClock(TState& state) {
  // Without a microphone the call still sends: silence, or the WAV file,
  // speech or digits it plays, and the peer's NAT pinhole stays open.
  using Clock = std::chrono::steady_clock;
  constexpr auto kFrame = std::chrono::milliseconds(20);
  Clock::time_point next = Clock::now() + kFrame;
  while (!state.terminated) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    if (wait > 0) state.queue.Wait(int(wait));
    TMessage message;
    while (state.queue.Get(message)) {
    }
    const Clock::time_point now = Clock::now();
    if (state.terminated || now < next) continue;
    // A thread that was held up does not make up for it with a burst.
    if (now - next > 10 * kFrame) next = now;
    next += kFrame;
    int16_t frame[kMaxFrameSamples] = {};
    if (ISipCallPtr owner = state.call.lock()) {
      try {
        owner->SendAudioFrame(frame);
      } catch (...) {
        // That frame is lost; the next one is handled normally.
      }
    }
  }
}

}  // namespace qv
