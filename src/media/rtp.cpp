#include "media/rtp.h"

#include <bit>
#include <cstring>

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
constexpr uint8_t kPaddingBit = 0x20;
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

void TRtpSender::SendPending(TDtmfQueue& dtmf, IRtpOutput& out) {
  if (!Pending()) return;
  char digit = 0;
  if (!dtmf.Front(digit)) {
    out.SendRtp(packet_.data(), kRtpHeaderBytes + payloadLength_);
    return;
  }
  const int code = DigitToEventCode(digit);
  if (code == kNoDtmfEvent) {
    dtmf.PopFront();  // not a digit: dropped without a word
    out.SendRtp(packet_.data(), kRtpHeaderBytes + payloadLength_);
    return;
  }
  // The event packet takes the place (sequence number and timestamp) of this
  // frame's audio packet, so the timestamp moves by 160 per event packet.
  uint8_t* event = packet_.data() + kRtpHeaderBytes;
  packet_[1] = kTelephoneEventType;
  event[0] = uint8_t(code);
  WriteBigEndian16(event + 2, uint16_t((eventPackets_ + 1) * kFrameSamples));
  ++eventPackets_;
  const bool last = eventPackets_ >= kEventPacketsPerDigit;
  event[1] = last ? (kEventEndBit | kEventVolume) : kEventVolume;
  out.SendRtp(packet_.data(), kRtpHeaderBytes + kTelephoneEventBytes);
  if (!last) return;
  for (int i = 0; i < kEventEndRepeats; ++i) {
    ++sequence_;
    WriteBigEndian16(packet_.data() + 2, uint16_t(sequence_ - 1));
    out.SendRtp(packet_.data(), kRtpHeaderBytes + kTelephoneEventBytes);
  }
  eventPackets_ = 0;
  dtmf.PopFront();
}

void TRtpSender::Prepare(IAudioCodec& codec, const int16_t* frame, bool onHold) {
  WriteRtpHeader(packet_.data(), codec.GetPayloadType(), sequence_, timestamp_, ssrc_);
  uint8_t* payload = packet_.data() + kRtpHeaderBytes;
  std::memset(payload, 0, kRtpPayloadRoom);
  int length = codec.Encode(frame, payload);
  payloadLength_ = length < 0 ? 0 : (length > kRtpPayloadRoom ? kRtpPayloadRoom : length);
  ++sequence_;
  timestamp_ += uint32_t(codec.GetFrameSize());
  // On hold the frame still counts, so the peer sees the gap when we resume.
  if (onHold) packet_[0] = 0;
}

// ---- receiving ----------------------------------------------------------------

bool ParseRtp(const uint8_t* datagram, int length, TRtpView& view) {
  if (length < kRtpHeaderBytes) return false;
  int payload = length - kRtpHeaderBytes;
  if (datagram[0] & kPaddingBit) payload -= datagram[length - 1];
  if (payload < 0) return false;
  view.TypeByte = datagram[1];
  view.Sequence = ReadBigEndian16(datagram + 2);
  view.Payload = datagram + kRtpHeaderBytes;
  view.PayloadLength = payload;
  return true;
}

}  // namespace qv
