#include "media/rtpreceive.h"

#include <algorithm>
#include <cstring>

#include "media/codecs.h"
#include "media/dtmf.h"
#include "media/rtp.h"
#include "platform/clock.h"

namespace qv {

namespace {

constexpr int kMaxDatagram = 4096;
constexpr int kLastEventCode = 15;  // "D"; higher codes (flash, tones) are not digits
constexpr uint8_t kEventEndBit = 0x80;
// How far back an event packet may lie and still be taken for a late packet
// of an event already seen (10 s at 8000 Hz); further back, the sender's clock
// has started again.
constexpr int32_t kLateEventTicks = 80000;

}  // namespace

TRtpReceiver::TRtpReceiver(IAudioCodecPtr codec) : decoder_(std::move(codec)) {
  for (int i = 0; i < kPlayBuffers; ++i) {
    headers_[i].Data = reinterpret_cast<char*>(buffers_[i]);
    headers_[i].BufferLength = kPlayBufferBytes;
    headers_[i].User = 0;
  }
}

TRtpReceiver::~TRtpReceiver() = default;

void TRtpReceiver::SetDevice(IWaveDevice* device) { device_ = device; }

void TRtpReceiver::HandlePacket(const uint8_t* datagram, int length, ISipCall& call) {
  TRtpView rtp;
  if (!ParseRtp(datagram, std::min(length, kMaxDatagram), rtp)) return;
  const int type = rtp.PayloadType();
  // What this number means comes from the SDP exchange (both sides' numbers),
  // not from the marker bit: RFC 4733 marks the first packet of every event.
  const int8_t route = call.GetPayloadMap().Received[size_t(type)];
  if (route == TRtpPayloadMap::kEvent) {
    // Another source (a PBX switching its bridge) counts its timestamps anew.
    if (eventSeen_ && rtp.Ssrc != eventSsrc_) eventSeen_ = eventInProgress_ = false;
    eventSsrc_ = rtp.Ssrc;
    HandleEvent(rtp.Payload, rtp.PayloadLength, rtp.Timestamp, call);
    return;
  }
  if (route == TRtpPayloadMap::kDiscard) return;  // comfort noise, a codec we lack
  if (route >= 0) {
    // The peer may send any codec its SDP named; follow it. The call's own
    // codec (what we send) stays as negotiated.
    if (!decoder_ || decoder_->GetPayloadType() != route) {
      IAudioCodecPtr next = CreateCodec(route);
      if (!next) return;
      decoder_ = std::move(next);
    }
  } else if (!decoder_ || decoder_->GetPayloadType() != type) {
    return;  // named by no SDP: only the decoder's own number is its audio
  }

  const int payload = std::min(rtp.PayloadLength, kMaxPayload);
  int bytes = decoder_->Decode(rtp.Payload, decoded_, payload);
  bytes = std::clamp(bytes, 0, int(sizeof decoded_)) & ~1;
  DetectInFrames(decoded_, bytes / 2, call);
  queue_.Add(rtp.Sequence, reinterpret_cast<const uint8_t*>(decoded_), bytes,
             [this](const uint8_t* pcm, int n) { pending_.Append(pcm, n); });
  PlayDecoded(bytes, call);
}

// The detector and the silence watch look at whole 20 ms frames, whatever
// the packet time: 10 ms packets are paired, longer ones cut.
void TRtpReceiver::DetectInFrames(const int16_t* samples, int count, ISipCall& call) {
  while (count > 0) {
    const int n = std::min(count, kFrameSamples - detectCount_);
    std::memcpy(detectFrame_ + detectCount_, samples, sizeof(int16_t) * size_t(n));
    detectCount_ += n;
    samples += n;
    count -= n;
    if (detectCount_ == kFrameSamples) {
      detectCount_ = 0;
      InBandAndSilence(detectFrame_, kFrameSamples, call);
    }
  }
}

// RFC 4733 2.5.2: an event is known by its timestamp, which every packet of
// it repeats, marked or not, end bit or not. The first packet seen of a new
// timestamp reports the digit, even when the ones before it (the marked start)
// were lost; a new timestamp also ends the event before it, so a digit whose
// end packets were all lost does not hide the next one.
void TRtpReceiver::HandleEvent(const uint8_t* payload, int length, uint32_t timestamp, ISipCall& call) {
  // A packet too short to hold an event, or an event that is no digit, says
  // nothing about digits: it neither reports nor ends one.
  if (length < kTelephoneEventBytes || payload[0] > kLastEventCode) return;
  const bool end = (payload[1] & kEventEndBit) != 0;
  const uint32_t duration = ReadBigEndian16(payload + 2);
  if (eventSeen_) {
    const int32_t since = int32_t(timestamp - eventTimestamp_);
    // A late or repeated packet of an event already reported.
    if (since <= 0 && since > -kLateEventTicks) {
      if (since == 0 && end) eventInProgress_ = false;
      return;
    }
    // Senders that give every packet of one key press a timestamp of its own
    // (RFC 2833 read loosely) continue the same event, not yet ended, from
    // within what it already covers.
    if (payload[0] == eventCode_ && eventInProgress_ && int32_t(timestamp - eventReach_) <= 0) {
      eventTimestamp_ = timestamp;
      eventReach_ = timestamp + duration;
      eventInProgress_ = !end;
      return;
    }
  }
  eventSeen_ = true;
  eventCode_ = payload[0];
  eventTimestamp_ = timestamp;
  eventReach_ = timestamp + duration;
  eventInProgress_ = !end;
  call.NotifyDtmf(std::string(1, kDtmfDigits[payload[0]]));
}

void TRtpReceiver::InBandAndSilence(const int16_t* samples, int count, ISipCall& call) {
  // The detector looks at one whole frame; a shorter packet is completed with
  // silence rather than with what an earlier packet left in the decode area.
  int16_t frame[kFrameSamples] = {};
  std::memcpy(frame, samples, sizeof(int16_t) * size_t(std::min(count, kFrameSamples)));
  uint8_t input[kDetectorSamples];
  PcmToDetectorInput(frame, input);

  const std::string digit = DetectDigit(input);
  if (!digit.empty()) {
    if (inBandCount_ == 2) inBandDigits_[0] = inBandDigits_[1];
    inBandDigits_[std::min(inBandCount_, 1)] = digit[0];
    inBandCount_ = std::min(inBandCount_ + 1, 2);
  }
  const uint32_t now = GetTickMs();
  if (inBandCount_ == 2) {
    // A digit counts once it was seen in two frames; a tone held down keeps
    // making pairs, and each pair within 250 ms of the last restarts the wait.
    if (now - lastInBandTime_ < kInBandRepeatMs) {
      inBandCount_ = 0;
      lastInBandTime_ = now;
    } else if (inBandDigits_[0] == inBandDigits_[1]) {
      call.NotifyDtmf(std::string(1, inBandDigits_[0]));
      lastInBandTime_ = now;
      inBandCount_ = 0;
    }
    return;
  }
  if (IsSilent(input, call.GetSilenceThreshold())) {
    if (int64_t(now - lastVoiceTime_) >= int64_t(call.GetSilenceTimeout())) {
      call.NotifySilence();
      lastVoiceTime_ = now;
    }
  } else {
    lastVoiceTime_ = now;
  }
}

void TRtpReceiver::PlayDecoded(int bytes, ISipCall& call) {
  if (queue_.Count() > kHeldPackets) {
    const TJitterQueue::TRecord& oldest = queue_.Front();
    pending_.Append(oldest.Pcm, oldest.Length);
    queue_.PopFront();
  }
  if (bytes <= 0) return;  // an empty packet gives no buffer to play
  // A play buffer holds one 20 ms frame whatever the packet time, so that the
  // conference and the recorder, which work in frames, get all of the audio
  // as it is played: 10 ms packets are joined, 30 ms ones cut.
  constexpr int n = kFrameBytes;
  if (freeBuffers_ == kPlayBuffers) {
    // Idle: start only with two frames in hand, so the device does not run
    // dry again right after the first.
    if (pending_.Size() < 2 * n) return;
    for (int i = 0; i < 2; ++i) {
      pending_.Take(buffers_[i], n);
      Play(i, n, call);
    }
    return;
  }
  if (freeBuffers_ == 0) {
    pending_.Clear();  // overrun: the device is far behind; drop what waits
    return;
  }
  while (pending_.Size() >= n && freeBuffers_ > 0) {
    int index = -1;
    for (int i = 0; i < kPlayBuffers && index < 0; ++i)
      if (headers_[i].User == 0) index = i;
    if (index < 0) {
      pending_.Clear();
      return;
    }
    pending_.Take(buffers_[index], n);
    Play(index, n, call);
  }
}

void TRtpReceiver::Play(int index, int bytes, ISipCall& call) {
  uint8_t* buffer = buffers_[index];
  // Conference and recorder work in whole frames: hand over every frame the
  // buffer holds, and a short buffer completed with silence, never with what
  // an earlier packet left behind.
  if (bytes < kFrameBytes) std::memset(buffer + bytes, 0, size_t(kFrameBytes - bytes));
  const int frames = std::max(1, bytes / kFrameBytes);
  for (int k = 0; k < frames; ++k) call.DeliverRemoteFrame(reinterpret_cast<int16_t*>(buffer + k * kFrameBytes));
  if (!call.GetSpeakerEnabled()) std::memset(buffer, 0, kPlayBufferBytes);

  TWaveHeader& header = headers_[index];
  header.BufferLength = uint32_t(bytes);
  header.User = 1;
  --freeBuffers_;
  if (device_) {
    try {
      device_->AddBuffer(&header);
      return;
    } catch (...) {
      // A device that refuses the buffer plays nothing; count it as played.
    }
  }
  BufferDone(&header);
}

void TRtpReceiver::BufferDone(TWaveHeader* header) {
  // Only our own buffers, and each once (a reset gives back what is queued).
  if (header < headers_.data() || header >= headers_.data() + kPlayBuffers || header->User == 0) return;
  header->User = 0;
  header->Done = false;
  if (freeBuffers_ < kPlayBuffers) ++freeBuffers_;
}

}  // namespace qv
