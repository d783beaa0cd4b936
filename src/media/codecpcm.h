// G.711 codecs: PCMU (payload type 0) and PCMA (payload type 8).
//
// Both are stateless, so one object may encode on the capture thread and
// decode on the playback thread at the same time. They never allocate and use
// no floating point: they run once per 20 ms frame on real-time threads.
//
// A-law is produced and read by way of mu-law (the two 128-entry conversion
// tables), not by a direct A-law quantiser. Peers decode it as ordinary
// A-law: a decoded level is at most 132 away from the ITU one, and an encoded
// sample lands on the ITU code or one or two levels beside it where mu-law is
// the coarser law.
#pragma once

#include <cstdint>

#include "sip/sipints.h"

namespace qv {

// mu-law byte -> 16-bit sample, range +-32124; 0xFF and 0x7F give 0.
int16_t UlawDecode(uint8_t code);
// The PCMU encoder: 14-bit quantiser with the zero trap (0x00 becomes 0x02).
uint8_t UlawEncode(int16_t sample);
// The first step of the PCMA encoder: 16-bit biased quantiser, no zero trap.
// It differs from UlawEncode for some negative samples (-1 gives 0x7F, where
// UlawEncode gives 0x7E) and below -32124 (0x00 instead of 0x02).
uint8_t UlawEncodeBiased(int16_t sample);
uint8_t AlawToUlaw(uint8_t alaw);
uint8_t UlawToAlaw(uint8_t ulaw);

// PCMA by way of mu-law: the whole path of one sample or one code.
uint8_t AlawEncode(int16_t sample);
int16_t AlawDecode(uint8_t code);

class TCodecPCMU final : public IAudioCodec {
public:
  int GetFrameSize() override { return kFrameSamples; }
  int GetPayloadType() override { return 0; }
  int Decode(const uint8_t* payload, int16_t* samples, int length) override;
  int Encode(const int16_t* frame, uint8_t* payload) override;
};

class TCodecPCMA final : public IAudioCodec {
public:
  int GetFrameSize() override { return kFrameSamples; }
  int GetPayloadType() override { return 8; }
  int Decode(const uint8_t* payload, int16_t* samples, int length) override;
  int Encode(const int16_t* frame, uint8_t* payload) override;
};

}  // namespace qv
