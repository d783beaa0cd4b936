#include "media/rtp.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "media/codecgsm.h"
#include "media/dtmf.h"
#include "sip/iputils.h"

namespace qv {

// clang-format off
const std::array<int16_t, kFrameSamples> kMutedFrame = {
    -8, -16, 0, -8, -8, -8, -8, 0, -8, 0, -8, -8, 0, 0, 0, 0, 0, 0, 0, -8,
    -16, 0, -8, -8, -8, -8, 0, -8, 0, 0, -8, -8, -8, 0, 0, -8, -8, -8, -8, 0,
    0, -8, -8, 0, 0, -8, 0, 0, 0, 0, -8, 0, 0, 0, 0, 0, 0, -8, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -8, -8, -8,
    8, 0, 0, 0, -8, 0, -8, 0, 0, -8, 0, -8, -8, 0, 0, 0, 0, 0, 0, 8,
    0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 8, 0, 0, 8, 0, 8, 8, 0, 0, 8, 0, 8, 0, 0, 0, -8, -8, 8, 0,
    0, 0, -8, 0, 0, 0, -8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};
// clang-format on

namespace {

constexpr uint8_t kVersion2 = 0x80;
constexpr uint8_t kVersionMask = 0xC0;
constexpr uint8_t kPaddingBit = 0x20;
constexpr uint8_t kExtensionBit = 0x10;
constexpr uint8_t kCsrcCountMask = 0x0F;
constexpr uint8_t kMarkerBit = 0x80;
constexpr uint8_t kEventVolume = 0x0A;  // volume 10 (-10 dBm0)
constexpr uint8_t kEventEndBit = 0x80;

void WriteBigEndian16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}

void WriteBigEndian32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

}  // namespace

TRtpSocket::~TRtpSocket() { CloseSocket(Fd); }

// ---- DTMF queue -------------------------------------------------------------

void TDtmfQueue::Append(const std::string& digits) {
  std::lock_guard guard(lock_);
  digits_ += digits;
}

std::string TDtmfQueue::Get() {
  std::lock_guard guard(lock_);
  return digits_;
}

void TDtmfQueue::Set(const std::string& digits) {
  std::lock_guard guard(lock_);
  digits_ = digits;
}

bool TDtmfQueue::Front(char& digit) {
  std::lock_guard guard(lock_);
  if (digits_.empty()) return false;
  digit = digits_[0];
  return true;
}

void TDtmfQueue::PopFront() {
  std::lock_guard guard(lock_);
  if (!digits_.empty()) digits_.erase(0, 1);  // shrinking never allocates
}

// ---- sending ------------------------------------------------------------------

void WriteRtpHeader(uint8_t* packet, int payloadType, uint32_t sequence, uint32_t timestamp,
                    uint32_t ssrc) {
  packet[0] = kVersion2;
  packet[1] = uint8_t(payloadType & 0x7F);
  WriteBigEndian16(packet + 2, uint16_t(sequence));
  WriteBigEndian32(packet + 4, timestamp);
  std::memcpy(packet + 8, &ssrc, 4);  // host order, least significant byte first
  static_assert(std::endian::native == std::endian::little);
}

uint16_t ReadBigEndian16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

uint32_t ReadBigEndian32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void TRtpSender::SendPending(TDtmfQueue& dtmf, IRtpOutput& out, int eventType, int eventClock) {
  if (!framePending_) return;  // first frame, on hold, or no codec
  framePending_ = false;
  char digit = 0;
  while (eventType >= 0 && dtmf.Front(digit)) {
    const int code = DigitToEventCode(digit);
    if (code == kNoDtmfEvent) {
      dtmf.PopFront();  // not a digit: dropped without a word, the audio goes out
      break;
    }
    // The event takes the place of this frame's audio: its packets are
    // dropped and their sequence numbers, the last ones handed out, reused.
    // Audio gathered for a longer packet would straddle the event: dropped.
    sequence_ -= uint32_t(pendingCount_);
    pendingCount_ = 0;
    fillBytes_ = fillSamples_ = 0;
    SendEvent(code, eventType, eventClock, out);
    if (eventPackets_ == kEventPacketsPerDigit + kEventEndRepeats) FinishEvent(dtmf);
    return;
  }
  // The queue was emptied (or the peer stopped taking events) mid-digit.
  if (eventType < 0 || !dtmf.Front(digit)) eventPackets_ = 0;
  for (int i = 0; i < pendingCount_; ++i)
    out.SendRtp(pending_[size_t(i)].data(), kRtpHeaderBytes + pendingLength_[size_t(i)]);
  pendingCount_ = 0;
}

// RFC 4733 2.5.1: every packet of one event carries the timestamp of its
// start and the duration so far; the first is marked; the last, with the end
// bit, is sent three times, one frame apart, so that losing one or two of
// them still ends the event at the far end.
void TRtpSender::SendEvent(int code, int eventType, int eventClock, IRtpOutput& out) {
  if (eventPackets_ == 0) eventTimestamp_ = frameTimestamp_;
  const int update = std::min(eventPackets_ + 1, kEventPacketsPerDigit);
  const bool first = eventPackets_ == 0;
  const bool end = update == kEventPacketsPerDigit;
  uint8_t packet[kRtpHeaderBytes + kTelephoneEventBytes];
  WriteRtpHeader(packet, eventType, sequence_++, eventTimestamp_, ssrc_);
  if (first) packet[1] |= kMarkerBit;
  packet[kRtpHeaderBytes] = uint8_t(code);
  packet[kRtpHeaderBytes + 1] = end ? (kEventEndBit | kEventVolume) : kEventVolume;
  const int64_t frameDuration = clock_ > 0 && eventClock > 0 ? int64_t(frameUnits_) * eventClock / clock_ : kFrameSamples;
  WriteBigEndian16(packet + kRtpHeaderBytes + 2, uint16_t(update * frameDuration));
  ++eventPackets_;
  out.SendRtp(packet, int(sizeof packet));
}

void TRtpSender::FinishEvent(TDtmfQueue& dtmf) {
  eventPackets_ = 0;
  dtmf.PopFront();
}

bool TRtpSender::PlayInBandDigit(TDtmfQueue& dtmf, int16_t* frame, int rate) {
  char digit = 0;
  while (dtmf.Front(digit)) {
    double low = 0, high = 0;
    if (DtmfFrequencies(DigitToEventCode(digit), low, high)) break;
    dtmf.PopFront();  // not a digit
    toneFrames_ = 0;
  }
  if (!dtmf.Front(digit)) return false;
  double low = 0, high = 0;
  DtmfFrequencies(DigitToEventCode(digit), low, high);
  if (toneFrames_ < kEventPacketsPerDigit) {
    // Both tones at about -9 dBm0 each, within what ITU-T Q.24 receivers take.
    constexpr double kPeak = 9000.0;
    constexpr double kTwoPi = 6.283185307179586;
    const int samples = FrameSamplesAt(rate);
    const int start = toneFrames_ * samples;
    for (int i = 0; i < samples; ++i) {
      const double t = double(start + i) / double(rate);
      frame[i] = int16_t(std::lround(kPeak * (std::sin(kTwoPi * low * t) + std::sin(kTwoPi * high * t))));
    }
  } else {
    std::memset(frame, 0, sizeof(int16_t) * size_t(FrameSamplesAt(rate)));
  }
  if (++toneFrames_ == kEventPacketsPerDigit + kInBandPauseFrames) {
    toneFrames_ = 0;
    dtmf.PopFront();
  }
  return true;
}

void TRtpSender::Discard() {
  framePending_ = false;
  pendingCount_ = 0;
}

void TRtpSender::Prepare(IAudioCodec& codec, const int16_t* frame, bool onHold, int payloadType,
                         int packetMs) {
  const int type = payloadType >= 0 ? payloadType & 0x7F : codec.GetPayloadType();
  uint8_t encoded[kRtpPayloadRoom] = {};
  const int length = std::clamp(codec.Encode(frame, encoded), 0, kRtpPayloadRoom);
  const int samples = codec.GetFrameSize();
  frameTimestamp_ = timestamp_;
  timestamp_ += uint32_t(samples);
  frameUnits_ = samples;
  clock_ = codec.GetClockRate();

  if (length == 0) {
    // Discontinuous transmission: nothing this frame; what was gathered for
    // a longer packet goes with the silence.
    pendingCount_ = fillBytes_ = fillSamples_ = 0;
    talkspurt_ = true;
    framePending_ = !onHold;
    return;
  }

  // G.711 codes one byte per sample and may be cut anywhere; whole GSM frames
  // may stand side by side (RFC 3551 4.5.8); anything else, and a codec that
  // coded an unexpected length, goes one frame to a packet.
  const int codecType = codec.GetPayloadType();
  const int wanted = std::clamp(packetMs, 10, 60) * clock_ / 1000;
  int packetSamples = samples;
  if ((codecType == 0 || codecType == 8) && length == samples) {
    packetSamples = wanted;
  } else if (codecType == 3 && length == kGsmFrameBytes && samples > 0) {
    packetSamples = std::max(wanted / samples, 1) * samples;
  }
  // A new codec, payload type or packet time starts a new packet.
  if (type != fillType_ || packetSamples != fillPacketSamples_ || fillBytes_ + length > kRtpPayloadRoom)
    fillBytes_ = fillSamples_ = 0;
  fillType_ = type;
  fillPacketSamples_ = packetSamples;
  if (fillSamples_ == 0) fillTimestamp_ = frameTimestamp_;
  std::memcpy(fill_.data() + fillBytes_, encoded, size_t(length));
  fillBytes_ += length;
  fillSamples_ += samples;

  pendingCount_ = 0;
  while (fillSamples_ >= packetSamples && pendingCount_ < kMaxPending) {
    const int bytes = int(int64_t(fillBytes_) * packetSamples / fillSamples_);
    uint8_t* packet = pending_[size_t(pendingCount_)].data();
    WriteRtpHeader(packet, type, sequence_++, fillTimestamp_, ssrc_);
    if (talkspurt_) packet[1] |= kMarkerBit;
    talkspurt_ = false;
    std::memcpy(packet + kRtpHeaderBytes, fill_.data(), size_t(bytes));
    pendingLength_[size_t(pendingCount_++)] = bytes;
    std::memmove(fill_.data(), fill_.data() + bytes, size_t(fillBytes_ - bytes));
    fillBytes_ -= bytes;
    fillSamples_ -= packetSamples;
    fillTimestamp_ += uint32_t(packetSamples);
  }
  // On hold the frame still counts, so the peer sees the gap when we resume;
  // the first packet after it holds no audio from before.
  framePending_ = !onHold;
  if (onHold) pendingCount_ = fillBytes_ = fillSamples_ = 0;
}

// ---- receiving ----------------------------------------------------------------

bool ParseRtp(const uint8_t* datagram, int length, TRtpView& view) {
  if (length < kRtpHeaderBytes || (datagram[0] & kVersionMask) != kVersion2) return false;
  int header = kRtpHeaderBytes + 4 * (datagram[0] & kCsrcCountMask);
  if (datagram[0] & kExtensionBit) {
    // RFC 3550 5.3.1: a 4-byte extension header whose second half counts the
    // 32-bit words that follow it.
    if (header + 4 > length) return false;
    header += 4 + 4 * ReadBigEndian16(datagram + header + 2);
  }
  if (header > length) return false;
  int payload = length - header;
  if (datagram[0] & kPaddingBit) payload -= datagram[length - 1];
  if (payload < 0) return false;
  view.TypeByte = datagram[1];
  view.Sequence = ReadBigEndian16(datagram + 2);
  view.Timestamp = ReadBigEndian32(datagram + 4);
  view.Ssrc = ReadBigEndian32(datagram + 8);
  view.Payload = datagram + header;
  view.PayloadLength = payload;
  return true;
}

}  // namespace qv
