// TCallMedia: the media of one call, owned by its TCall. It starts and stops
// the RTP socket and the capture and playback threads, turns each captured
// frame into an RTP packet and keeps the digits waiting to go out as
// telephone events.
//
// Locks (who takes what):
// - control_ (here): start and stop only. Nobody waits for a media thread
//   while holding it: stop takes the threads out under it and ends them after
//   letting go, so concurrent stops and a call destroyed on its own media
//   thread never wait on each other.
// - the call lock: never taken by the media threads. The engine may therefore
//   hold it while it stops the media (hang-up, drop, INVITE responses).
// - the DTMF queue's own mutex (TDtmfQueue): a leaf lock, taken briefly by
//   QueueDtmf and by the capture thread.
// - the call's WAV, conference and recorder locks: taken per frame by the
//   capture thread (local side) and the playback thread (remote side), and
//   briefly by their setters; nobody who stops media holds them.
// - the call's send lock: around every send and around the hand-over of the
//   socket at start and stop, which happens after the capture thread ended.
//
// Lifetime: the media threads hold the call weakly (see soundplay.h), so a call
// that everyone else let go is destroyed even while its media run, and its
// destructor stops them. The socket is shared with the playback thread and is
// closed when both have let go, never under a thread still polling it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "media/resample.h"
#include "media/rtp.h"
#include "media/rtpsource.h"
#include "sip/sipints.h"

namespace qv {

class TSoundCardInput;
class TSoundCardOutput;

// What the media need from their call beyond ISipCall. The call implements
// it; the media never see the dialog behind it.
class IMediaCall : public virtual ISipCall {
public:
  // The call itself, held weakly by the media threads.
  virtual std::weak_ptr<ISipCall> WeakSelf() = 0;
  // Taken around every RTP send and around the hand-over of the socket.
  virtual std::recursive_mutex& SendLock() = 0;
  // Capture path: reads `bytes` of the WAV source into `frame` under the WAV
  // lock and returns true. A source with fewer bytes left is taken off the
  // call instead (`ended` set) and false returned; none: false.
  virtual bool ReadWavFrame(int16_t* frame, int bytes, bool& ended) = 0;
  // Capture path: the local frame to the conference (which may rewrite it)
  // and to the recorder, each under its lock.
  virtual void DeliverLocalFrame(int16_t* frame) = 0;
};

class TCallMedia {
public:
  explicit TCallMedia(uint32_t ssrc);
  ~TCallMedia();
  TCallMedia(const TCallMedia&) = delete;
  TCallMedia& operator=(const TCallMedia&) = delete;

  // true: playback thread, socket bound to the call's LocalRtpPort, capture
  // thread; a failure on the way frees what was made and raises. false: ends
  // the threads and lets go of the socket. Asking for the state the media
  // are already in does nothing. Any thread, the media threads included.
  void SetActive(IMediaCall& call, bool value);
  bool Active() const { return active_.load(); }
  // The rate the media run at between the devices and the codec: the sample
  // rate of the call's codec when they started (8000 before).
  int Rate() const { return rate_.load(); }
  int Socket() const { return socketFd_.load(); }

  // One captured 20 ms frame at Rate() (capture thread): send what the
  // previous frame prepared, then prepare this one.
  void SendAudioFrame(IMediaCall& call, int16_t* frame);
  // Sends under the send lock to RemoteRtpAddress:RemoteRtpPort, or to the
  // source the receiver latched onto when the peer's packets come from
  // another address (rtpsource.h); false when nothing was sent (no socket, no
  // address, "0.0.0.0", port 0, would block).
  bool SendRtp(IMediaCall& call, const uint8_t* bytes, int length);

  TDtmfQueue& Dtmf() { return dtmf_; }
  // The sending counters. Capture thread, or a caller that drives
  // SendAudioFrame itself while no capture thread runs.
  const TRtpSender& Sender() const { return sender_; }

  // Tests and benchmarks that hand every frame to SendAudioFrame themselves:
  // media started from now on run no capture thread (whose device, or clock
  // when the device fails, would send frames of its own). Before SetActive.
  void SetCaptureByHand(bool value) { captureByHand_ = value; }

  // Diagnostics while the media run: the capture device's open error (0 when
  // none or not running) and whether the playback device failed to open.
  int CaptureOpenError();
  bool PlaybackDeviceFailed();
  // The receiver's counters since the call was made, and its source. Any thread.
  TRtpStats Stats() { return peer_->Stats(); }

private:
  void Start(IMediaCall& call);
  void Stop(IMediaCall& call);
  // What plays instead of the microphone (WAV sources, the muted frame) is
  // 8000 Hz audio: into `frame` at Rate().
  void FromNarrowband(const int16_t* narrow, int16_t* frame);
  // The local frame to the conference and the recorder, at 8000 Hz.
  void DeliverLocal(IMediaCall& call, int16_t* frame);

  std::mutex control_;
  std::atomic<bool> active_{false};
  std::atomic<int> socketFd_{-1};
  std::atomic<bool> captureByHand_{false};
  std::atomic<int> rate_{kNarrowRate};
  // Capture thread: 8000 Hz sources up to the rate, the narrowband side of
  // the frame there and back, and the frame to a codec of another rate (the
  // codec changed while the media ran).
  TFrameResampler sourceUp_;
  TFrameResampler narrowDown_;
  TFrameResampler narrowUp_;
  TFrameResampler toCodec_;
  std::unique_ptr<TSoundCardInput> capture_;    // guarded by control_
  std::unique_ptr<TSoundCardOutput> playback_;  // guarded by control_
  std::shared_ptr<TRtpSocket> socket_;          // guarded by the call's send lock
  TRtpSender sender_;                           // capture thread
  const std::shared_ptr<TRtpPeerState> peer_ = std::make_shared<TRtpPeerState>();
  TDtmfQueue dtmf_;
};

}  // namespace qv
