// GSM 06.10 full rate (RTP payload type 3) over libgsm.
//
// The RTP payload is the 33-byte frame of RFC 3551 (signature nibble 0xD,
// parameters most significant bit first), which is libgsm's own framing:
// every 20 ms frame is coded once and decoded once, so the encoder here and
// the decoder of any standard peer (and the other way round) keep the same
// history. The WAVE GSM 6.10 block (two frames, parameters least significant
// bit first) is what the recorder writes and the WAV loader reads; the bit
// map below relates the two layouts.
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
  // Decodes the frames of one packet, up to three (60 ms; the receiving
  // path has room for 512 samples): 320 bytes of PCM for each. A payload
  // shorter than one frame is completed with zero bytes rather than read past
  // its end; a partial frame after whole ones is ignored. A frame without the
  // 0xD signature plays as silence.
  int Decode(const uint8_t* payload, int16_t* samples, int length) override;
  int Encode(const int16_t* frame, uint8_t* payload) override;

  static constexpr int kMaxDecodedFrames = 3;

private:
  gsm_state* encoder_ = nullptr;  // capture side
  int16_t pcmIn_[kFrameSamples] = {};
  gsm_state* decoder_ = nullptr;  // playback side
};

}  // namespace qv
