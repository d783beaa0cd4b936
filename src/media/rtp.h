// RTP on the wire: the packet a call sends every 20 ms (an audio frame or an
// RFC 2833 telephone event), the parsing of a received datagram, the muted
// frame, the DTMF digit queue and the socket a call's media share.
//
// Packet sent: 0x80, payload type (marker never set), sequence number and
// timestamp big-endian, then the SSRC least significant byte first, as this
// program has always written it (peers only compare it), then the payload.
//
// Threads: TRtpSender belongs to the capture thread of one call (and to tests
// and benchmarks that drive it directly). TDtmfQueue may be used from any
// thread; its mutex is a leaf lock, never held while anything else is taken,
// so that whoever holds the call lock can stop the media without waiting for
// the capture thread.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "sip/sipints.h"

namespace qv {

constexpr int kRtpHeaderBytes = 12;
constexpr int kRtpPayloadRoom = 1024;
constexpr int kRtpPacketBytes = kRtpHeaderBytes + kRtpPayloadRoom;
constexpr int kTelephoneEventType = 101;
constexpr int kTelephoneEventBytes = 4;
constexpr int kEventPacketsPerDigit = 9;  // 180 ms per digit
constexpr int kEventEndRepeats = 2;       // RFC 2833 3.6: the end packet goes out three times

// What a call sends instead of the microphone while it is muted: a faint
// comfort noise rather than digital zero.
extern const std::array<int16_t, kFrameSamples> kMutedFrame;

// A call's RTP socket, shared by the sending path and the playback thread
// that reads it; closed when the last of them lets go, so that a descriptor
// is never closed under a thread still polling it.
struct TRtpSocket {
  explicit TRtpSocket(int fd) : Fd(fd) {}
  ~TRtpSocket();
  TRtpSocket(const TRtpSocket&) = delete;
  TRtpSocket& operator=(const TRtpSocket&) = delete;
  const int Fd;
};

// Digits waiting to go out as telephone events.
class TDtmfQueue {
public:
  void Append(const std::string& digits);
  std::string Get();
  void Set(const std::string& digits);
  // The first digit, without taking it; false when the queue is empty.
  bool Front(char& digit);
  void PopFront();

private:
  std::mutex lock_;
  std::string digits_;
};

// Where TRtpSender puts its packets.
class IRtpOutput {
public:
  virtual ~IRtpOutput() = default;
  // Returns false when nothing was sent (no address, no socket, would block).
  virtual bool SendRtp(const uint8_t* bytes, int length) = 0;
};

// The sending half of a call's RTP: one packet prepared per captured frame
// and sent when the next frame arrives, or replaced by telephone events while
// digits are queued.
class TRtpSender {
public:
  explicit TRtpSender(uint32_t ssrc) : ssrc_(ssrc) {}

  // Sends what the previous frame prepared: the audio packet, or the next
  // telephone-event packet of the first queued digit (its audio is dropped).
  // A queued character that is not a digit is removed and the audio goes out.
  void SendPending(TDtmfQueue& dtmf, IRtpOutput& out);

  // Encodes `frame` into the next packet and advances the counters. On hold
  // the packet is prepared but marked as not to be sent.
  void Prepare(IAudioCodec& codec, const int16_t* frame, bool onHold);

  // Nothing pending (a call without a codec prepares nothing).
  void Discard() { packet_[0] = 0; }

  bool Pending() const { return packet_[0] != 0; }
  uint32_t SequenceNumber() const { return sequence_; }
  uint32_t Timestamp() const { return timestamp_; }
  uint32_t Ssrc() const { return ssrc_; }
  int PayloadLength() const { return payloadLength_; }

private:
  std::array<uint8_t, kRtpPacketBytes> packet_{};  // byte 0 == 0: nothing pending
  int payloadLength_ = 0;
  uint32_t sequence_ = 0;   // low 16 bits on the wire
  uint32_t timestamp_ = 0;  // sum of the codec frame sizes so far
  const uint32_t ssrc_;
  int eventPackets_ = 0;    // event packets already sent for the first queued digit
};

// Header fields of a received datagram, and where its payload is.
struct TRtpView {
  uint8_t TypeByte = 0;  // byte 1: marker bit and payload type
  uint16_t Sequence = 0;
  const uint8_t* Payload = nullptr;
  int PayloadLength = 0;

  int PayloadType() const { return TypeByte & 0x7F; }
};

// False for a datagram that cannot be RTP: shorter than its 12-byte header,
// or with a padding count larger than its payload. CSRC lists and header
// extensions are not skipped: the payload starts at byte 12.
bool ParseRtp(const uint8_t* datagram, int length, TRtpView& view);

// Writing the fields this program sends; exposed for tests and tools.
void WriteRtpHeader(uint8_t* packet, int payloadType, uint32_t sequence, uint32_t timestamp,
                    uint32_t ssrc);
uint16_t ReadBigEndian16(const uint8_t* bytes);
uint32_t ReadBigEndian32(const uint8_t* bytes);

}  // namespace qv
