// RTP on the wire: the packets a call sends (audio, or RFC 4733 telephone
// events), the parsing of a received datagram, the muted frame, the DTMF
// digit queue and the socket a call's media share.
//
// Packet sent: 0x80, marker bit (first packet of an event only) and payload
// type, sequence number and timestamp big-endian, then the SSRC least
// significant byte first, as this program has always written it (peers only
// compare it), then the payload.
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
constexpr int kEventPacketsPerDigit = 9;  // 180 ms per digit, the last one marked as its end
constexpr int kEventEndRepeats = 2;       // RFC 4733 2.5.1.4: the end packet goes out three times
constexpr int kInBandPauseFrames = 3;     // silence after an in-band digit, so the next one stands apart

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

// The sending half of a call's RTP. Every captured 20 ms frame is encoded and
// added to the packet being filled; once that holds the packet time the peer
// asked for (10 to 60 ms) it becomes pending, and the next frame sends it.
// While digits are queued and the peer takes telephone events, event packets
// go out in place of the audio (RFC 4733); when it takes none, the digits are
// played into the audio as tones instead.
class TRtpSender {
public:
  explicit TRtpSender(uint32_t ssrc) : ssrc_(ssrc) {}

  // Sends what the previous frame prepared: its audio packets, or the next
  // packet of the first queued digit's event under `eventType` (the peer's
  // telephone-event number; -1: the peer takes none, the queue is left to
  // PlayInBandDigit). A queued character that is not a digit is removed and
  // the audio goes out.
  // `eventClock`: the RTP clock the peer gave that number; the durations are
  // counted in it (the timestamps stay those of the audio's stream).
  void SendPending(TDtmfQueue& dtmf, IRtpOutput& out, int eventType = kTelephoneEventType,
                   int eventClock = kNarrowRate);

  // For a peer without telephone events: while a digit is queued, writes its
  // two tones (then a pause) over `frame` (20 ms at `rate`) and returns true;
  // each digit takes kEventPacketsPerDigit frames of tone and
  // kInBandPauseFrames of silence.
  bool PlayInBandDigit(TDtmfQueue& dtmf, int16_t* frame, int rate = kNarrowRate);

  // Encodes `frame` into the packet being filled, `payloadType` on the wire
  // (-1: the codec's own number), `packetMs` of audio per packet (what the
  // codec cannot cut that way goes in 20 ms packets). On hold the packets are
  // made and counted but not sent. A frame the codec codes to nothing
  // (discontinuous transmission) makes no packet, and the next packet is
  // marked as the start of a talkspurt (RFC 3551 4.1).
  void Prepare(IAudioCodec& codec, const int16_t* frame, bool onHold, int payloadType = -1,
               int packetMs = 20);

  // Nothing pending (a call without a codec prepares nothing).
  void Discard();

  // A frame was prepared and is waiting to be sent (or replaced by an event).
  bool Pending() const { return framePending_; }
  uint32_t SequenceNumber() const { return sequence_; }
  uint32_t Timestamp() const { return timestamp_; }
  uint32_t Ssrc() const { return ssrc_; }
  // Payload bytes of the first pending packet.
  int PayloadLength() const { return pendingCount_ > 0 ? pendingLength_[0] : 0; }

private:
  void SendEvent(int code, int eventType, int eventClock, IRtpOutput& out);
  void FinishEvent(TDtmfQueue& dtmf);

  static constexpr int kMaxPending = 2;  // a 20 ms frame in 10 ms packets
  std::array<std::array<uint8_t, kRtpPacketBytes>, kMaxPending> pending_{};
  std::array<int, kMaxPending> pendingLength_{};
  int pendingCount_ = 0;
  bool framePending_ = false;  // the last frame was prepared off hold
  uint32_t frameTimestamp_ = 0;  // timestamp of the last prepared frame
  int frameUnits_ = kFrameSamples;  // RTP units of a frame of the codec last used
  int clock_ = kNarrowRate;         // its RTP clock
  bool talkspurt_ = false;          // the next packet follows a silence that sent nothing

  // Encoded audio not yet in a packet.
  std::array<uint8_t, kRtpPayloadRoom> fill_{};
  int fillBytes_ = 0;
  int fillSamples_ = 0;
  uint32_t fillTimestamp_ = 0;
  int fillType_ = -1;
  int fillPacketSamples_ = 0;

  uint32_t sequence_ = 0;   // packets made so far; its low 16 bits go on the wire
  uint32_t timestamp_ = 0;  // sum of the codec frame sizes so far
  const uint32_t ssrc_;

  // The event of the first queued digit.
  int eventPackets_ = 0;     // packets sent for it, end repeats included
  uint32_t eventTimestamp_ = 0;
  int toneFrames_ = 0;       // in-band: frames of the first queued digit played
};

// Header fields of a received datagram, and where its payload is.
struct TRtpView {
  uint8_t TypeByte = 0;  // byte 1: marker bit and payload type
  uint16_t Sequence = 0;
  uint32_t Timestamp = 0;
  uint32_t Ssrc = 0;  // as read, byte for byte (only compared)
  const uint8_t* Payload = nullptr;
  int PayloadLength = 0;

  int PayloadType() const { return TypeByte & 0x7F; }
  bool Marker() const { return (TypeByte & 0x80) != 0; }
};

// False for a datagram that is not RTP version 2 or whose header runs past
// its end: the 12 fixed bytes, the CSRC list and the header extension
// (RFC 3550 5.1, 5.3.1), or padding longer than what remains. The payload
// starts after the CSRCs and the extension.
bool ParseRtp(const uint8_t* datagram, int length, TRtpView& view);

// Writing the fields this program sends; exposed for tests and tools.
void WriteRtpHeader(uint8_t* packet, int payloadType, uint32_t sequence, uint32_t timestamp,
                    uint32_t ssrc);
uint16_t ReadBigEndian16(const uint8_t* bytes);
uint32_t ReadBigEndian32(const uint8_t* bytes);

}  // namespace qv
