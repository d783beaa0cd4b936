#include "media/codecgsm.h"

#include <gsm.h>

#include <algorithm>
#include <cstring>

namespace qv {

namespace {

constexpr int kFrameBits = 260;
constexpr int kFrameParameters = 76;

// Widths of the 76 parameters of one GSM 06.10 frame, in their coding order:
// eight log-area ratios, then per subframe the LTP lag, LTP gain, grid
// position, block maximum and 13 pulses.
constexpr std::array<uint8_t, kFrameParameters> MakeWidths() {
  std::array<uint8_t, kFrameParameters> widths{};
  const uint8_t lar[8] = {6, 6, 5, 5, 4, 4, 3, 3};
  int n = 0;
  for (uint8_t w : lar) widths[n++] = w;
  for (int subframe = 0; subframe < 4; ++subframe) {
    widths[n++] = 7;
    widths[n++] = 2;
    widths[n++] = 2;
    widths[n++] = 6;
    for (int pulse = 0; pulse < 13; ++pulse) widths[n++] = 3;
  }
  return widths;
}

constexpr std::array<uint16_t, kGsmBlockBits> MakeBitMap() {
  constexpr auto widths = MakeWidths();
  std::array<uint16_t, kGsmBlockBits> map{};
  for (int frame = 0; frame < 2; ++frame) {
    int start = 0;  // first bit of the parameter within the 260 bits
    for (int p = 0; p < kFrameParameters; ++p) {
      const int width = widths[p];
      for (int q = 0; q < width; ++q) {  // q-th least significant bit
        const int blockBit = frame * kFrameBits + start + q;
        // In the RTP frame the parameter follows the 4-bit signature, most
        // significant bit first; bits are counted from the top of byte 0.
        const int fromTop = 4 + start + (width - 1 - q);
        const int byte = frame * kGsmFrameBytes + fromTop / 8;
        map[blockBit] = uint16_t(8 * byte + 7 - fromTop % 8);
      }
      start += width;
    }
  }
  return map;
}

constexpr std::array<uint16_t, kGsmBlockBits> kBitMap = MakeBitMap();

inline bool TestBit(const uint8_t* bytes, int position) {
  return (bytes[position >> 3] >> (position & 7)) & 1;
}

inline void SetBit(uint8_t* bytes, int position) {
  bytes[position >> 3] |= uint8_t(1u << (position & 7));
}

}  // namespace

const std::array<uint16_t, kGsmBlockBits>& GsmBitMap() { return kBitMap; }

void GsmBlockToFrames(const uint8_t* block65, uint8_t* frames66) {
  std::memset(frames66, 0, 2 * kGsmFrameBytes);
  for (int i = 0; i < kGsmBlockBits; ++i) {
    if (TestBit(block65, i)) SetBit(frames66, kBitMap[i]);
  }
  frames66[0] |= 0xD0;
  frames66[kGsmFrameBytes] |= 0xD0;
}

void GsmFramesToBlock(const uint8_t* frames66, uint8_t* block65) {
  std::memset(block65, 0, kGsmBlockBytes);
  for (int i = 0; i < kGsmBlockBits; ++i) {
    if (TestBit(frames66, kBitMap[i])) SetBit(block65, i);
  }
}

TCodecGSM::TCodecGSM() : encoder_(gsm_create()), decoder_(gsm_create()) {}

TCodecGSM::~TCodecGSM() {
  if (encoder_) gsm_destroy(encoder_);
  if (decoder_) gsm_destroy(decoder_);
}

// libgsm's own framing is the RFC 3551 frame: the 0xD signature, then the 76
// parameters most significant bit first. Each frame is coded once, so both
// ends carry the history of the frames really sent.
int TCodecGSM::Encode(const int16_t* frame, uint8_t* payload) {
  std::memcpy(pcmIn_, frame, kFrameBytes);
  if (encoder_) {
    gsm_encode(encoder_, pcmIn_, payload);
  } else {
    std::memset(payload, 0, kGsmFrameBytes);
    payload[0] = 0xD0;
  }
  return kGsmFrameBytes;
}

int TCodecGSM::Decode(const uint8_t* payload, int16_t* samples, int length) {
  const int frames = std::clamp(length / kGsmFrameBytes, 1, kMaxDecodedFrames);
  for (int f = 0; f < frames; ++f) {
    uint8_t frame[kGsmFrameBytes] = {};
    const int n = std::clamp(length - f * kGsmFrameBytes, 0, kGsmFrameBytes);
    if (n > 0) std::memcpy(frame, payload + f * kGsmFrameBytes, size_t(n));
    int16_t* out = samples + f * kFrameSamples;
    // A frame without the signature is no GSM frame: silence, and the
    // decoder's history stays as it was.
    if (!decoder_ || gsm_decode(decoder_, frame, out) != 0) std::memset(out, 0, kFrameBytes);
  }
  return frames * kFrameBytes;
}

}  // namespace qv
