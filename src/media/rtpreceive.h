// The receiving half of a call's RTP, without the thread: what the playback
// thread does with each datagram it reads from the call's socket, and with
// each play buffer the device gives back.
//
//   datagram -> source check (rtpsource.h): only the peer is heard
//   telephone event (a number the SDP exchange gave telephone-event, marked
//   or not)                         -> the call's NotifyDtmf, once per event
//   audio of a codec the SDP named  -> duplicates dropped, decode, in-band
//   (or, without SDP, of the static    DTMF and silence watch on 20 ms frames,
//   types and the decoder's own)       playout buffer
//   comfort noise, anything else    -> dropped
//
// The decoder starts as the call's codec and switches to whatever codec the
// SDP named for the number a packet carries (PCMU, GSM and PCMA by their
// static numbers always). Decoded audio waits in the playout buffer (jitterqueue.h), placed by
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
  bool TakesPayloadType(int payloadType, ISipCall& call) const;
  bool ValidForLatch(const uint8_t* datagram, int length, ISipCall& call) const;
  void NewStream();
  void AcceptAudio(const TRtpView& rtp, ISipCall& call);
  void HandleEvent(const uint8_t* payload, int length, uint32_t timestamp, ISipCall& call);
  void DetectInFrames(const int16_t* samples, int count, ISipCall& call);
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
  // The last telephone event seen (RFC 4733): its timestamp, how far its
  // duration reached, its code, and whether its end is still to come.
  bool eventSeen_ = false;
  bool eventInProgress_ = false;
  uint32_t eventTimestamp_ = 0;
  uint32_t eventReach_ = 0;
  uint32_t eventSsrc_ = 0;
  int eventCode_ = -1;
  // Decoded audio gathered into whole frames for the detectors.
  int16_t detectFrame_[kFrameSamples] = {};
  int detectCount_ = 0;
  uint64_t publishedConcealed_ = 0, publishedDropped_ = 0;
};

}  // namespace qv
