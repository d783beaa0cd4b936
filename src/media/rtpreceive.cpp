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

bool SwitchableType(int payloadType) { return payloadType == 0 || payloadType == 3 || payloadType == 8; }

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
  // Only an unmarked type 101 is an event; with the marker set it is audio of
  // type 101, which no decoder has.
  if (rtp.TypeByte == kTelephoneEventType) {
    HandleEvent(rtp.Payload, rtp.PayloadLength, call);
    return;
  }
  const int type = rtp.PayloadType();
  // The peer may answer in another G.711 or GSM than it offered; follow it.
  // The call's own codec (what we send) stays as negotiated.
  if (SwitchableType(type) && (!decoder_ || decoder_->GetPayloadType() != type)) decoder_ = CreateCodec(type);
  if (!decoder_ || decoder_->GetPayloadType() != type) return;

  const int payload = std::min(rtp.PayloadLength, kMaxPayload);
  int bytes = decoder_->Decode(rtp.Payload, decoded_, payload);
  bytes = std::clamp(bytes, 0, int(sizeof decoded_)) & ~1;
  if (bytes >= kFrameSamples) InBandAndSilence(decoded_, bytes / 2, call);
  queue_.Add(rtp.Sequence, reinterpret_cast<const uint8_t*>(decoded_), bytes,
             [this](const uint8_t* pcm, int n) { pending_.Append(pcm, n); });
  PlayDecoded(bytes, call);
}

void TRtpReceiver::HandleEvent(const uint8_t* payload, int length, ISipCall& call) {
  // A packet too short to hold an event, or an event that is no digit, says
  // nothing about digits: it neither reports nor ends one.
  if (length < kTelephoneEventBytes || payload[0] > kLastEventCode) return;
  const bool end = (payload[1] & kEventEndBit) != 0;
  // Every packet of one key press repeats the event: report its first only.
  if (!end && !eventInProgress_) call.NotifyDtmf(std::string(1, kDtmfDigits[payload[0]]));
  eventInProgress_ = !end;
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
  if (freeBuffers_ == kPlayBuffers) {
    // Idle: start only with two frames in hand, so the device does not run
    // dry again right after the first.
    if (pending_.Size() < 2 * bytes) return;
    for (int i = 0; i < 2; ++i) {
      pending_.Take(buffers_[i], bytes);
      Play(i, bytes, call);
    }
    return;
  }
  if (freeBuffers_ == 0) {
    pending_.Clear();  // overrun: the device is far behind; drop what waits
    return;
  }
  if (pending_.Size() < bytes) return;
  int index = -1;
  for (int i = 0; i < kPlayBuffers && index < 0; ++i)
    if (headers_[i].User == 0) index = i;
  if (index < 0) {
    pending_.Clear();
    return;
  }
  pending_.Take(buffers_[index], bytes);
  Play(index, bytes, call);
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
