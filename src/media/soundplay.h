// TSoundCardOutput: a call's playback thread. It owns the receive side of the
// call's RTP socket and the wave-out device: it waits on its message queue and
// the socket together (a readable socket is what message 4157 was), hands each
// datagram with its sender to its TRtpReceiver and gives play buffers back to
// it as the device returns them (MsgWaveOutDone), which refills them. Without
// a device (it could not be opened: reported once through the engine's
// NotifyDeviceError) the thread keeps the playout's time itself, 10 ms a
// slice, so the conference and the recorder still get the remote audio.
//
// Lifetime: the thread holds the call weakly and takes a strong reference only
// while it handles one datagram, so it never keeps a call alive. When that
// reference turns out to be the last one, the call is destroyed on this thread
// and stops its own media: the handle then lets the thread finish on its own
// (everything the thread touches lives in a state object it shares), instead
// of waiting for itself.
//
// Threads: construction, SetSocket and destruction from any thread other than
// the playback thread, except that destruction may also happen on it (above).
// The thread takes no lock of the call's except, per frame, the conference and
// recorder locks (DeliverRemoteFrame); it never takes the call lock.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "sip/sipints.h"

namespace qv {

struct TRtpSocket;
class TRtpPeerState;

class TSoundCardOutput {
public:
  // Starts the thread and returns once it runs. `codec` is the first decoder
  // (may be none); `outputDevice` -1 is the default device, opened at `rate`
  // (the call's audio rate); `shared` holds the counters and the latched
  // source the call reads. A device that cannot be opened is reported and the
  // call plays nothing.
  TSoundCardOutput(std::weak_ptr<ISipCall> call, IAudioCodecPtr codec, int outputDevice,
                   std::shared_ptr<TRtpPeerState> shared, int rate = kNarrowRate);
  // Asks the thread to end, wakes it and waits for it (or, on the thread
  // itself, lets it end alone).
  ~TSoundCardOutput();
  TSoundCardOutput(const TSoundCardOutput&) = delete;
  TSoundCardOutput& operator=(const TSoundCardOutput&) = delete;

  // The socket to read from; the thread keeps its own reference.
  void SetSocket(std::shared_ptr<TRtpSocket> socket);

  // True once the thread has tried to open the device and it failed.
  bool DeviceFailed() const;

private:
  struct TState;
  static void Run(std::shared_ptr<TState> state);

  std::shared_ptr<TState> state_;
  std::thread thread_;
};

// Tells the call's engine that a sound device of the call could not be opened
// (NotifyDeviceError); nothing when the call or its engine is gone. Any thread.
void ReportDeviceError(const std::weak_ptr<ISipCall>& call, bool input, const std::string& reason);

}  // namespace qv
