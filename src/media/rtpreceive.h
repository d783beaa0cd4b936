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

#include "media/echocanceller.h"
#include "media/jitterqueue.h"
#include "media/resample.h"
#include "media/rtp.h"
#include "media/rtpsource.h"
#include "platform/audiodevice.h"
#include "sip/sipints.h"

namespace qv {

class TRtpReceiver {
public:
  static constexpr int kSliceSamples = TPlayoutBuffer::kSlice;  // at 8000 Hz
  static constexpr int kPlayBuffers = 4;
  static constexpr int kPlayBufferBytes = 2 * kSliceSamples;     // at 8000 Hz
  static constexpr int kMaxPlayBufferBytes = 2 * (kMaxAudioRate / 100);  // 10 ms at the highest rate
  static constexpr int kQueuedSlices = 2;       // 10 ms playing, 10 ms waiting
  static constexpr int kMaxPayload = 512;       // payload bytes of one packet looked at (G.711: samples)
  static constexpr int kMaxOpusPayload = 1275;  // one Opus frame at most (RFC 6716 3.4)
  static constexpr uint32_t kInBandRepeatMs = 250;
  // The longest gap before a packet that is made up from the decoder's state
  // (codecs that can, see ILossRecovery); a longer one is a pause of the
  // sender (discontinuous transmission, hold), concealed by the playout.
  static constexpr int kMaxRecoveredMs = 60;

  // `shared`: the counters and latch the call reads; one of its own when none.
  // `rate`: the rate of the audio played (the device's), 8000 or 16000.
  explicit TRtpReceiver(IAudioCodecPtr codec, std::shared_ptr<TRtpPeerState> shared = nullptr,
                        int rate = kNarrowRate);
  ~TRtpReceiver();
  TRtpReceiver(const TRtpReceiver&) = delete;
  TRtpReceiver& operator=(const TRtpReceiver&) = delete;

  // The open output device, or nullptr. Set it before the first datagram and
  // clear it before the device is closed; the play buffers outlive it.
  void SetDevice(IWaveDevice* device);
  // The echo canceller that hears every slice the device is given (nullptr:
  // none). Before the first datagram; it must outlive the receiver's use.
  void SetEchoReference(TEchoCanceller* echo) { echo_ = echo; }

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

  int Rate() const { return rate_; }
  // Audio restored from in-band redundancy, and made up by the decoder, since
  // the receiver was made (samples at Rate()).
  uint64_t RecoveredSamples() const { return recovered_; }
  uint64_t DecoderConcealedSamples() const { return decoderConcealed_; }

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
  void RecoverGap(const TRtpView& rtp, int payload, ISipCall& call);
  // Decoded audio (`count` samples at the decoder's rate, from RTP time
  // `timestamp`) to the detectors and the playout.
  void Store(uint32_t timestamp, const int16_t* samples, int count, bool detect, ISipCall& call);
  uint32_t Position(uint32_t timestamp);
  void DeliverRemote(int16_t* frame, ISipCall& call);
  void HandleEvent(const uint8_t* payload, int length, uint32_t timestamp, ISipCall& call);
  void DetectInFrames(const int16_t* samples, int count, ISipCall& call);
  void InBandAndSilence(const int16_t* samples, int count, ISipCall& call);
  void Refill(ISipCall& call);
  void QueueSlice(const int16_t* samples, bool speaker);
  void PublishPlayout();

  const int rate_;
  const int frameSamples_;  // 20 ms at rate_
  const int sliceSamples_;  // 10 ms at rate_
  IAudioCodecPtr decoder_;
  std::shared_ptr<TRtpPeerState> shared_;
  IWaveDevice* device_ = nullptr;
  TEchoCanceller* echo_ = nullptr;
  TSourceCheck source_;
  TSequenceWindow sequences_;
  TPlayoutBuffer playout_;
  bool haveSsrc_ = false;
  uint32_t ssrc_ = 0;
  // RTP time to playout position: the clock of the decoder's format against
  // rate_, anchored at a packet of the stream (Position).
  bool anchored_ = false;
  int anchorClock_ = 0;
  uint32_t anchorTimestamp_ = 0;
  uint32_t anchorPosition_ = 0;
  // Where the newest packet's audio ended (RTP time): a later packet that
  // starts beyond it follows a gap (RecoverGap).
  bool haveEnd_ = false;
  uint32_t streamEnd_ = 0;
  uint64_t recovered_ = 0, decoderConcealed_ = 0;
  // Rate conversion where the decoder's rate is not rate_ (decoded -> played),
  // and to 8000 Hz for the detectors and for the conference and recorder
  // (there and back, see DeliverRemote).
  TFrameResampler toPlayout_;
  TFrameResampler toDetector_;
  TFrameResampler narrowDown_;
  TFrameResampler narrowUp_;
  // The frame being played: taken whole, queued in two slices.
  int16_t frame_[kMaxFrameSamples] = {};
  int frameLeft_ = 0;  // samples of frame_ not queued yet (from its end)
  std::array<TWaveHeader, kPlayBuffers> headers_;
  // Where each play buffer's slice lies in the echo reference's stream.
  std::array<int64_t, kPlayBuffers> echoIndex_{};
  alignas(int16_t) uint8_t buffers_[kPlayBuffers][kMaxPlayBufferBytes] = {};
  int queued_ = 0;     // slices on the device (or counted as playing without one)
  int16_t decoded_[kMaxDecodedSamples] = {};
  int16_t converted_[kMaxDecodedSamples] = {};
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
