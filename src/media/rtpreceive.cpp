#include "media/rtpreceive.h"

#include <algorithm>
#include <cstring>

#include "media/codecs.h"
#include "media/dtmf.h"
#include "media/rtp.h"
#include "media/silencewatch.h"
#include "platform/clock.h"

namespace qv {

namespace {

constexpr int kMaxDatagram = 4096;
constexpr int kLastEventCode = 15;  // "D"; higher codes (flash, tones) are not digits
constexpr uint8_t kEventEndBit = 0x80;
constexpr int kRtpVersion = 2;
// How far back an event packet may lie and still be taken for a late packet
// of an event already seen (10 s at 8000 Hz); further back, the sender's clock
// has started again.
constexpr int32_t kLateEventTicks = 80000;

}  // namespace

TRtpReceiver::TRtpReceiver(IAudioCodecPtr codec, std::shared_ptr<TRtpPeerState> shared, int rate)
    : rate_(rate == kWideRate ? kWideRate : kNarrowRate),
      frameSamples_(FrameSamplesAt(rate_)),
      sliceSamples_(frameSamples_ / 2),
      decoder_(std::move(codec)),
      shared_(shared ? std::move(shared) : std::make_shared<TRtpPeerState>()),
      playout_(rate_) {
  for (int i = 0; i < kPlayBuffers; ++i) {
    headers_[i].Data = reinterpret_cast<char*>(buffers_[i]);
    headers_[i].BufferLength = uint32_t(2 * sliceSamples_);
    headers_[i].User = 0;
  }
  if (rate_ != kNarrowRate) {
    // Made here, not on the real-time thread.
    narrowDown_.Setup(rate_, kNarrowRate);
    narrowUp_.Setup(kNarrowRate, rate_);
  }
}

TRtpReceiver::~TRtpReceiver() = default;

void TRtpReceiver::SetDevice(IWaveDevice* device) { device_ = device; }

// --- where packets come from ------------------------------------------------

// The numbers the SDP exchange gave audio or telephone-event, and the
// decoder's own: what a peer of this call sends.
bool TRtpReceiver::TakesPayloadType(int payloadType, ISipCall& call) const {
  const int8_t route = call.GetPayloadMap().Received[size_t(payloadType)];
  return route == TRtpPayloadMap::kEvent || route >= 0 || (decoder_ && decoder_->GetPayloadType() == payloadType);
}

bool TRtpReceiver::ValidForLatch(const uint8_t* datagram, int length, ISipCall& call) const {
  return length >= kRtpHeaderBytes && (datagram[0] >> 6) == kRtpVersion &&
         TakesPayloadType(datagram[1] & 0x7F, call);
}

void TRtpReceiver::HandleDatagram(const uint8_t* datagram, int length, const TRtpAddress& from, ISipCall& call) {
  ++shared_->Received;
  const TRtpAddress sdp{call.GetRemoteRtpAddress(), call.GetRemoteRtpPort()};
  switch (source_.Check(from, sdp, ValidForLatch(datagram, length, call), *shared_)) {
    case TSourceCheck::TVerdict::Drop:
      ++shared_->ForeignSource;
      return;
    case TSourceCheck::TVerdict::NewSource:
      NewStream();
      break;
    case TSourceCheck::TVerdict::Accept:
      break;
  }
  HandlePacket(datagram, length, call);
}

void TRtpReceiver::NewStream() {
  playout_.Reset();
  sequences_.Reset();
  haveSsrc_ = false;
  anchored_ = false;
  haveEnd_ = false;
}

// --- packets ------------------------------------------------------------------

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
      // Another RTP clock counts time anew.
      if (decoder_ && decoder_->GetClockRate() != next->GetClockRate()) NewStream();
      decoder_ = std::move(next);
    }
  } else if (!decoder_ || decoder_->GetPayloadType() != type) {
    return;  // named by no SDP: only the decoder's own number is its audio
  }
  AcceptAudio(rtp, call);
}

void TRtpReceiver::AcceptAudio(const TRtpView& rtp, ISipCall& call) {
  // RFC 3550 8.2: a new SSRC is a new stream (a PBX that transfers the call
  // or plays music on hold): its timestamps and sequence numbers start afresh.
  const uint32_t ssrc = rtp.Ssrc;
  if (haveSsrc_ && ssrc != ssrc_) NewStream();
  haveSsrc_ = true;
  ssrc_ = ssrc;
  // A duplicate is dropped before decoding, so that the in-band detector
  // does not see one tone frame as the two it wants for a digit.
  if (sequences_.Duplicate(rtp.Sequence)) {
    ++shared_->Duplicates;
    return;
  }
  // An Opus frame may be longer than the most any other codec sends.
  const int limit = decoder_->GetClockRate() == kNarrowRate ? kMaxPayload : kMaxOpusPayload;
  const int payload = std::min(rtp.PayloadLength, limit);
  RecoverGap(rtp, payload, call);
  int bytes = decoder_->Decode(rtp.Payload, decoded_, payload);
  bytes = std::clamp(bytes, 0, int(sizeof decoded_)) & ~1;
  const int samples = bytes / 2;
  const int decoderRate = decoder_->GetSampleRate();
  // Where this packet's audio ends, for the gap before the next one.
  const uint32_t end = rtp.Timestamp + uint32_t(int64_t(samples) * decoder_->GetClockRate() / decoderRate);
  if (!haveEnd_ || int32_t(end - streamEnd_) > 0) streamEnd_ = end;
  haveEnd_ = true;
  Store(rtp.Timestamp, decoded_, samples, true, call);
  Refill(call);  // the first audio starts the device
}

// RFC 7587 3.3, RFC 6716 4.4: a codec that can (Opus) restores the audio
// before a packet that follows a gap from that packet's in-band redundancy
// (lost once: restored whole), and makes up from its own state what
// redundancy does not cover (lost twice in a row) better than repeating the
// last frame would. Before the packet itself is decoded, as the decoder wants.
void TRtpReceiver::RecoverGap(const TRtpView& rtp, int payload, ISipCall& call) {
  auto* recovery = dynamic_cast<ILossRecovery*>(decoder_.get());
  if (!recovery || !haveEnd_) return;
  const int clock = decoder_->GetClockRate();
  const int32_t gap = int32_t(rtp.Timestamp - streamEnd_);
  if (gap <= 0 || int64_t(gap) > int64_t(clock) * kMaxRecoveredMs / 1000) return;
  const int redundant = std::min(recovery->RedundantUnits(rtp.Payload, payload), int(gap));
  const uint64_t toRate = uint64_t(rate_), fromRate = uint64_t(decoder_->GetSampleRate());
  if (gap > redundant) {
    const int bytes =
        std::clamp(recovery->Conceal(int(gap) - redundant, converted_), 0, int(sizeof converted_)) & ~1;
    decoderConcealed_ += uint64_t(bytes / 2) * toRate / fromRate;
    Store(streamEnd_, converted_, bytes / 2, false, call);
  }
  if (redundant > 0) {
    const int bytes = std::clamp(recovery->DecodeRedundant(rtp.Payload, payload, redundant, converted_), 0,
                                 int(sizeof converted_)) & ~1;
    recovered_ += uint64_t(bytes / 2) * toRate / fromRate;
    Store(rtp.Timestamp - uint32_t(redundant), converted_, bytes / 2, true, call);
  }
}

// RTP time as a playout position: samples at rate_ counted from the anchor.
// Opus counts 48000 a second, G.722 8000 for 16000 samples; the anchor
// moves along where the conversion is exact, so nothing accumulates.
uint32_t TRtpReceiver::Position(uint32_t timestamp) {
  const int clock = decoder_ ? decoder_->GetClockRate() : kNarrowRate;
  if (clock == rate_) return timestamp;
  if (!anchored_ || anchorClock_ != clock) {
    anchored_ = true;
    anchorClock_ = clock;
    anchorTimestamp_ = timestamp;
    anchorPosition_ = timestamp;
  }
  const int64_t scaled = int64_t(int32_t(timestamp - anchorTimestamp_)) * rate_;
  const uint32_t position = anchorPosition_ + uint32_t(int32_t(scaled / clock));
  if (scaled % clock == 0) {
    anchorTimestamp_ = timestamp;
    anchorPosition_ = position;
  }
  return position;
}

void TRtpReceiver::Store(uint32_t timestamp, const int16_t* samples, int count, bool detect, ISipCall& call) {
  if (count <= 0) return;
  const int decoderRate = decoder_->GetSampleRate();
  // The detectors look at 8000 Hz audio, in the order packets arrive.
  if (detect) {
    if (decoderRate == kNarrowRate) {
      DetectInFrames(samples, count, call);
    } else {
      int16_t narrow[kMaxDecodedSamples];
      const int n = int(int64_t(count) * kNarrowRate / decoderRate);
      toDetector_.Setup(decoderRate, kNarrowRate);
      toDetector_.Convert(samples, count, narrow, n);
      DetectInFrames(narrow, n, call);
    }
  }
  const int32_t position = int32_t(Position(timestamp));
  if (decoderRate == rate_) {
    if (playout_.Put(uint32_t(position), samples, count) == TPlayoutBuffer::TPut::Late) ++shared_->Late;
    return;
  }
  // The peer changed to a codec of another rate than the call's media run at.
  const int n = std::min(int(int64_t(count) * rate_ / decoderRate), kMaxDecodedSamples);
  int16_t played[kMaxDecodedSamples];
  toPlayout_.Setup(decoderRate, rate_);
  toPlayout_.Convert(samples, count, played, n);
  if (playout_.Put(uint32_t(position), played, n) == TPlayoutBuffer::TPut::Late) ++shared_->Late;
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
  if (IsSilentFrame(frame, input, call.GetSilenceThreshold())) {
    if (int64_t(now - lastVoiceTime_) >= int64_t(call.GetSilenceTimeout())) {
      call.NotifySilence();
      lastVoiceTime_ = now;
    }
  } else {
    lastVoiceTime_ = now;
  }
}

// --- playout --------------------------------------------------------------------

void TRtpReceiver::Refill(ISipCall& call) {
  const bool speaker = call.GetSpeakerEnabled();
  while (queued_ < kQueuedSlices) {
    if (frameLeft_ == 0) {
      int16_t frame[kMaxFrameSamples];
      const TPlayoutBuffer::TTake taken = playout_.Take(frame);
      PublishPlayout();
      if (taken == TPlayoutBuffer::TTake::Idle) return;  // nothing arrived yet: the device waits
      if (taken == TPlayoutBuffer::TTake::Stretch) {
        QueueSlice(frame, speaker);
        continue;
      }
      // Conference and recorder see each frame as it goes out; the
      // conference may rewrite it with the mix.
      DeliverRemote(frame, call);
      std::memcpy(frame_, frame, sizeof(int16_t) * size_t(frameSamples_));
      frameLeft_ = frameSamples_;
    }
    QueueSlice(frame_ + frameSamples_ - frameLeft_, speaker);
    frameLeft_ -= sliceSamples_;
  }
}

// The conference and the recorder take 8000 Hz frames. A wideband frame goes
// to them converted, and comes back converted only when the conference mixed
// others into it: a call alone keeps its whole band.
void TRtpReceiver::DeliverRemote(int16_t* frame, ISipCall& call) {
  if (rate_ == kNarrowRate) {
    call.DeliverRemoteFrame(frame);
    return;
  }
  if (!call.GetConference() && !call.GetRecorder()) return;
  int16_t narrow[kFrameSamples], before[kFrameSamples];
  narrowDown_.Convert(frame, frameSamples_, narrow, kFrameSamples);
  std::memcpy(before, narrow, sizeof before);
  call.DeliverRemoteFrame(narrow);
  if (std::memcmp(before, narrow, sizeof before) != 0) narrowUp_.Convert(narrow, kFrameSamples, frame, frameSamples_);
}

void TRtpReceiver::QueueSlice(const int16_t* samples, bool speaker) {
  TWaveHeader* header = nullptr;
  for (TWaveHeader& h : headers_)
    if (h.User == 0) {
      header = &h;
      break;
    }
  if (!header) return;  // cannot happen: more buffers than are ever queued
  const size_t bytes = size_t(2 * sliceSamples_);
  if (speaker)
    std::memcpy(header->Data, samples, bytes);
  else
    std::memset(header->Data, 0, bytes);
  header->BufferLength = uint32_t(bytes);
  header->User = 1;
  ++queued_;
  if (!device_) return;  // SliceElapsed plays it
  // What the speaker plays, the microphone may hear again: the reference
  // takes the slice now, and when it played once the device gives it back.
  if (echo_)
    echoIndex_[size_t(header - headers_.data())] =
        echo_->Played(reinterpret_cast<const int16_t*>(header->Data), sliceSamples_);
  try {
    device_->AddBuffer(header);
  } catch (...) {
    // A device that refuses buffers plays nothing more: go on without it.
    device_ = nullptr;
  }
}

void TRtpReceiver::BufferDone(TWaveHeader* header, ISipCall* call) {
  // Only our own buffers, and each once (a reset gives back what is queued).
  if (header < headers_.data() || header >= headers_.data() + kPlayBuffers || header->User == 0) return;
  header->User = 0;
  header->Done = false;
  --queued_;
  if (echo_ && header->TimeNs != 0)
    echo_->Began(echoIndex_[size_t(header - headers_.data())], sliceSamples_, header->TimeNs);
  if (call) Refill(*call);
}

void TRtpReceiver::SliceElapsed(ISipCall& call) {
  for (TWaveHeader& h : headers_) {
    if (h.User != 0 && !h.InQueue) {
      h.User = 0;
      --queued_;
      break;
    }
  }
  Refill(call);
}

void TRtpReceiver::PublishPlayout() {
  shared_->ConcealedSamples += playout_.ConcealedSamples() - publishedConcealed_;
  shared_->DroppedSamples += playout_.DroppedSamples() - publishedDropped_;
  publishedConcealed_ = playout_.ConcealedSamples();
  publishedDropped_ = playout_.DroppedSamples();
}

}  // namespace qv
