// The receiving half of a call's RTP, without the thread: what the playback
// thread does with each datagram it reads from the call's socket.
//
//   telephone event (a number the SDP exchange gave telephone-event, marked
//   or not)                         -> the call's NotifyDtmf, once per event
//   audio of a codec the SDP named  -> decode, in-band DTMF and silence watch
//   (or, without SDP, of the static    on 20 ms frames, reorder, play
//   types and the decoder's own)
//   comfort noise, anything else    -> dropped
//
// The decoder starts as the call's codec and switches to whatever codec the
// SDP named for the number a packet carries (PCMU, GSM and PCMA by their
// static numbers always). Decoded packets wait in the jitter queue until four
// newer ones are in hand, then go as 20 ms frames to sixteen rotating play
// buffers on the output device; each play buffer is handed to the call's
// conference and recorder (DeliverRemoteFrame) just before it is queued.
//
// Without a device (none could be opened, or a test or benchmark drives the
// receiver) a play buffer counts as played as soon as it is handed over, so
// the conference and the recorder still get the remote audio.
//
// Threads: one receiver belongs to one playback thread. The call is passed
// in with each datagram; the receiver keeps no reference to it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "media/jitterqueue.h"
#include "platform/audiodevice.h"
#include "sip/sipints.h"

namespace qv {

class TRtpReceiver {
public:
  static constexpr int kPlayBuffers = 16;
  static constexpr int kPlayBufferBytes = 2560;
  static constexpr int kHeldPackets = 4;        // 80 ms of reordering
  static constexpr int kMaxPayload = 512;       // the decode area holds 512 samples
  static constexpr uint32_t kInBandRepeatMs = 250;

  explicit TRtpReceiver(IAudioCodecPtr codec);
  ~TRtpReceiver();
  TRtpReceiver(const TRtpReceiver&) = delete;
  TRtpReceiver& operator=(const TRtpReceiver&) = delete;

  // The open output device, or nullptr. Set it before the first datagram and
  // clear it before the device is closed; the play buffers outlive it.
  void SetDevice(IWaveDevice* device);

  // One received datagram (at most 4096 bytes are looked at).
  void HandlePacket(const uint8_t* datagram, int length, ISipCall& call);

  // A play buffer came back from the device (MsgWaveOutDone).
  void BufferDone(TWaveHeader* header);

  // State, for tests and the fuzz target.
  const IAudioCodecPtr& Decoder() const { return decoder_; }
  int FreeBufferCount() const { return freeBuffers_; }
  int QueuedPackets() const { return queue_.Count(); }
  int PendingBytes() const { return pending_.Size(); }
  bool EventInProgress() const { return eventInProgress_; }
  // The silence watch counts from the start of the media, not from zero.
  void SetLastVoiceTime(uint32_t tick) { lastVoiceTime_ = tick; }
  uint32_t LastVoiceTime() const { return lastVoiceTime_; }

private:
  void HandleEvent(const uint8_t* payload, int length, uint32_t timestamp, ISipCall& call);
  void DetectInFrames(const int16_t* samples, int count, ISipCall& call);
  void InBandAndSilence(const int16_t* samples, int count, ISipCall& call);
  void PlayDecoded(int bytes, ISipCall& call);
  void Play(int index, int bytes, ISipCall& call);

  IAudioCodecPtr decoder_;
  IWaveDevice* device_ = nullptr;
  TJitterQueue queue_;
  TPcmFifo pending_;
  std::array<TWaveHeader, kPlayBuffers> headers_;
  alignas(int16_t) uint8_t buffers_[kPlayBuffers][kPlayBufferBytes] = {};
  int16_t decoded_[kMaxPayload] = {};
  int freeBuffers_ = kPlayBuffers;
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
};

}  // namespace qv
