// The codec factory: one codec object per RTP payload type, and what a codec
// may offer besides IAudioCodec for audio that was lost on the way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sip/sipints.h"

namespace qv {

// Our codec numbers: the payload types CreateCodec takes.
constexpr int kCodecPCMU = 0, kCodecGSM = 3, kCodecPCMA = 8, kCodecG722 = 9, kCodecSpeex = 110,
              kCodecOpus = 111;

// 0 PCMU, 8 PCMA, 3 GSM, 9 G.722, 111 Opus, 110 Speex (only while the Speex
// library is loaded); nullptr for every other payload type. Each call makes a
// new object with fresh state. `peerFormat`: the a=fmtp parameters the peer
// gave the codec (only Opus reads them: what its encoder may send).
IAudioCodecPtr CreateCodec(int payloadType, const std::string& peerFormat = "");

// The codec lists an engine offers, best first. Narrowband: G.711 mu-law and
// A-law, GSM, Speex when its library is there (what this program always
// offered). Wideband: Opus, then G.722 (what desk phones and PBXs offer),
// then the narrowband list.
std::vector<int> NarrowbandCodecs();
std::vector<int> WidebandCodecs();

// True when the Speex library was found (looked up once per process).
bool SpeexAvailable();

// The sample rate of a codec number's audio (8000 or 16000); 8000 for numbers
// that are no codec of ours.
int CodecSampleRate(int payloadType);

// A codec that can restore audio lost on the way, or make it up better than
// repeating what came before (Opus: RFC 6716 4.4, RFC 7587 3.3). Units are
// those of the codec's RTP clock; samples are at its sample rate. Playback
// thread, like Decode.
class ILossRecovery {
public:
  virtual ~ILossRecovery() = default;
  // How much audio just before the packet's own the packet may restore
  // (in-band forward error correction); 0 when it can restore none.
  virtual int RedundantUnits(const uint8_t* payload, int length) = 0;
  // Decodes `units` of audio before the packet's own from it (call before
  // the packet itself is decoded); returns the PCM bytes written.
  virtual int DecodeRedundant(const uint8_t* payload, int length, int units, int16_t* samples) = 0;
  // Makes up `units` of audio for a gap nothing restores; returns PCM bytes.
  virtual int Conceal(int units, int16_t* samples) = 0;
};

}  // namespace qv
