// The receiving half of a call's RTP, without the thread: what the playback
// thread does with each datagram it reads from the call's socket, and with
// each play buffer the device gives back.
//
//   datagram -> source check (rtpsource.h): only the peer is heard
//   telephone event (byte 1 exactly 101) -> the call's NotifyDtmf, once per event
//   audio of the decoder's payload type   -> duplicates dropped, decode, in-band
//                                            DTMF and silence watch, playout buffer
//
// The decoder starts as the call's codec and switches to PCMU, GSM or PCMA
// when packets of that type arrive (never to Speex: its parameters come from
// SDP). Decoded audio waits in the playout buffer (jitterqueue.h), placed by
// its timestamp, and leaves it on the device's clock: two 10 ms play buffers
// stay queued on the device, and each one it gives back is refilled. A 20 ms
// frame taken from the buffer is handed to the call's conference and recorder
// (DeliverRemoteFrame) just before its first half is queued.
//
// Without a device (none could be opened, or a test or benchmark drives the
// receiver) the playback thread calls SliceElapsed every 10 ms instead, so the
// conference and the recorder still get the remote audio in real time.
//
// Threads: one receiver belongs to one playback thread. The call is passed
// in with each datagram; the receiver keeps no reference to it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "media/jitterqueue.h"
#include "media/rtp.h"
#include "media/rtpsource.h"
#include "platform/audiodevice.h"
#include "sip/sipints.h"

namespace qv {

class TRtpReceiver {
public:
  static constexpr int kSliceSamples = TPlayoutBuffer::kSlice;
  static constexpr int kPlayBuffers = 4;
  static constexpr int kPlayBufferBytes = 2 * kSliceSamples;
  static constexpr int kQueuedSlices = 2;       // 10 ms playing, 10 ms waiting
  static constexpr int kMaxPayload = 512;       // the decode area holds 512 samples
  static constexpr uint32_t kInBandRepeatMs = 250;

  // `shared`: the counters and latch the call reads; one of its own when none.
  explicit TRtpReceiver(IAudioCodecPtr codec, std::shared_ptr<TRtpPeerState> shared = nullptr);
  ~TRtpReceiver();
  TRtpReceiver(const TRtpReceiver&) = delete;
  TRtpReceiver& operator=(const TRtpReceiver&) = delete;

  // The open output device, or nullptr. Set it before the first datagram and
  // clear it before the device is closed; the play buffers outlive it.
  void SetDevice(IWaveDevice* device);

  // One datagram as read from the socket, from `from`: the source check,
  // then HandlePacket.
  void HandleDatagram(const uint8_t* datagram, int length, const TRtpAddress& from, ISipCall& call);
  // One datagram known to come from the peer (at most 4096 bytes are looked at).
  void HandlePacket(const uint8_t* datagram, int length, ISipCall& call);

  // A play buffer came back from the device (MsgWaveOutDone); refills it.
  // `call` nullptr: the call is gone, nothing more is played.
  void BufferDone(TWaveHeader* header, ISipCall* call);
  // Without a device: 10 ms have passed, so the oldest slice counts as played.
  void SliceElapsed(ISipCall& call);
  // True while there is no device (none was set, or it refused a buffer):
  // the owner then calls SliceElapsed every 10 ms.
  bool NeedsClock() const { return device_ == nullptr; }

  // State, for tests and the fuzz target.
  const IAudioCodecPtr& Decoder() const { return decoder_; }
  int QueuedSlices() const { return queued_; }
  const TPlayoutBuffer& Playout() const { return playout_; }
  TRtpPeerState& Shared() { return *shared_; }
  bool EventInProgress() const { return eventInProgress_; }
  // The silence watch counts from the start of the media, not from zero.
  void SetLastVoiceTime(uint32_t tick) { lastVoiceTime_ = tick; }
  uint32_t LastVoiceTime() const { return lastVoiceTime_; }

private:
  bool TakesPayloadType(int payloadType) const;
  bool ValidForLatch(const uint8_t* datagram, int length) const;
  void NewStream();
  void AcceptAudio(const uint8_t* datagram, const TRtpView& rtp, ISipCall& call);
  void HandleEvent(const uint8_t* payload, int length, ISipCall& call);
  void InBandAndSilence(const int16_t* samples, int count, ISipCall& call);
  void Refill(ISipCall& call);
  void QueueSlice(const int16_t* samples, bool speaker);
  void PublishPlayout();

  IAudioCodecPtr decoder_;
  std::shared_ptr<TRtpPeerState> shared_;
  IWaveDevice* device_ = nullptr;
  TSourceCheck source_;
  TSequenceWindow sequences_;
  TPlayoutBuffer playout_;
  bool haveSsrc_ = false;
  uint32_t ssrc_ = 0;
  // The frame being played: taken whole, queued in two slices.
  int16_t frame_[kFrameSamples] = {};
  int frameLeft_ = 0;  // samples of frame_ not queued yet (from its end)
  std::array<TWaveHeader, kPlayBuffers> headers_;
  alignas(int16_t) uint8_t buffers_[kPlayBuffers][kPlayBufferBytes] = {};
  int queued_ = 0;     // slices on the device (or counted as playing without one)
  int16_t decoded_[kMaxPayload] = {};
  char inBandDigits_[2] = {};
  int inBandCount_ = 0;
  uint32_t lastInBandTime_ = 0;
  uint32_t lastVoiceTime_ = 0;
  bool eventInProgress_ = false;
  uint64_t publishedConcealed_ = 0, publishedDropped_ = 0;
};

}  // namespace qv
