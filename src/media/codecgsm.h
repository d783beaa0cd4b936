// GSM 06.10 full rate (RTP payload type 3) over libgsm.
//
// libgsm runs in its WAV49 mode, which codes the 65-byte two-frame block of
// the WAVE GSM 6.10 format (parameters packed least significant bit first).
// The RTP payload is the 33-byte frame of RFC 3551 (signature nibble 0xD,
// parameters most significant bit first); a 520-entry bit map converts
// between the two layouts.
//
// Every frame is coded twice, as a block that holds the frame two times:
// encoding sends the first copy and discards the second, decoding plays the
// first copy. Both sides therefore carry the history of the repeated frame.
//
// The encoder and the decoder keep separate state and separate work areas,
// so one object may encode on the capture thread while it decodes on the
// playback thread. Two threads may not both encode (or both decode) at once.
#pragma once

#include <array>
#include <cstdint>

#include "sip/sipints.h"

struct gsm_state;

namespace qv {

constexpr int kGsmFrameBytes = 33;  // one RTP frame
constexpr int kGsmBlockBytes = 65;  // one WAVE GSM 6.10 block: two frames
constexpr int kGsmBlockBits = 520;

// For each bit of a block (numbered from the least significant bit of byte
// 0), its position in a 66-byte area holding two RTP frames (bytes 0-32 and
// 33-65; positions numbered from the least significant bit of byte 0).
const std::array<uint16_t, kGsmBlockBits>& GsmBitMap();

// Block -> two RTP frames (66 bytes, signature nibbles set) and back. The
// signature nibbles are not part of the block and are ignored when reading.
void GsmBlockToFrames(const uint8_t* block65, uint8_t* frames66);
void GsmFramesToBlock(const uint8_t* frames66, uint8_t* block65);

class TCodecGSM final : public IAudioCodec {
public:
  TCodecGSM();
  ~TCodecGSM() override;
  TCodecGSM(const TCodecGSM&) = delete;
  TCodecGSM& operator=(const TCodecGSM&) = delete;

  int GetFrameSize() override { return kFrameSamples; }
  int GetPayloadType() override { return 3; }
  // Decodes one RTP frame. A payload shorter than 33 bytes is completed
  // with zero bytes rather than read past its end; bytes beyond 33 are
  // ignored. Always writes 160 samples and returns 320.
  int Decode(const uint8_t* payload, int16_t* samples, int length) override;
  int Encode(const int16_t* frame, uint8_t* payload) override;

private:
  // Encoder side.
  gsm_state* encoder_ = nullptr;
  int16_t pcmIn_[2 * kFrameSamples] = {};
  uint8_t gsmOut_[kGsmBlockBytes] = {};
  // Decoder side.
  gsm_state* decoder_ = nullptr;
  uint8_t gsmIn_[kGsmBlockBytes + 1] = {};
  int16_t pcmOut_[2 * kFrameSamples] = {};
};

}  // namespace qv
