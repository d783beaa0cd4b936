// TSoundCardInput: a call's capture thread. It records the wave-in device in
// four rotating 20 ms buffers (mono, 16 bits, at the call's audio rate: 8000
// or 16000 Hz) and hands every full buffer to the call's SendAudioFrame, which
// encodes and sends it. When the
// device cannot be opened, the thread says so once (the engine's
// NotifyDeviceError) and hands the call a silent frame every 20 ms on its own
// clock instead, so that RTP, digits and played files still go out.
//
// Lifetime and threads as for TSoundCardOutput (soundplay.h): the call is held
// weakly and locked for one buffer at a time; a call destroyed on this thread
// stops its media without waiting for the thread that runs it. The thread
// never takes the call lock: whoever holds it may stop the media.
#pragma once

#include <memory>
#include <thread>

#include "sip/sipints.h"

namespace qv {

class IWaveDevice;
struct TWaveHeader;

class TSoundCardInput {
public:
  // Starts the thread; `inputDevice` -1 is the default device, opened at
  // `rate` (8000 or 16000).
  TSoundCardInput(std::weak_ptr<ISipCall> call, int inputDevice, int rate = kNarrowRate);
  ~TSoundCardInput();
  TSoundCardInput(const TSoundCardInput&) = delete;
  TSoundCardInput& operator=(const TSoundCardInput&) = delete;

  // The wave error code (TWaveError) that stopped the capture, 0 while none
  // did. Set by the thread before it ends.
  int OpenError() const;

  static constexpr int kBufferCount = 4;

private:
  struct TState;
  static void Run(std::shared_ptr<TState> state);
  static void RunOnClock(TState& state);

  std::shared_ptr<TState> state_;
  std::thread thread_;
};

// One buffer the device gave back: a full one (20 ms) goes to the call's
// SendAudioFrame; whatever happens, the buffer goes back to the device, which
// needs all four to keep recording. Capture thread (and tests).
void HandleCapturedBuffer(TWaveHeader& header, const std::weak_ptr<ISipCall>& call, IWaveDevice& device);

}  // namespace qv
