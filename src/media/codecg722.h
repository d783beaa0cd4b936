// G.722 (RTP payload type 9): 16000 Hz audio at 64 kbit/s through spandsp.
//
// RFC 3551 4.5.2: the RTP clock of G.722 runs at 8000 Hz although the audio is
// sampled at 16000, an error of the first specification that every peer keeps;
// so a 20 ms frame is 320 samples, 160 bytes and 160 timestamp units.
//
// Encoder and decoder have their own state: one object may encode on the
// capture thread while it decodes on the playback thread.
#pragma once

#include "sip/sipints.h"

struct g722_encode_state_s;
struct g722_decode_state_s;

namespace qv {

class TCodecG722 final : public IAudioCodec {
public:
  static constexpr int kPayloadType = 9;
  static constexpr int kFrameBytes = 160;  // one byte per two samples

  TCodecG722();
  ~TCodecG722() override;
  TCodecG722(const TCodecG722&) = delete;
  TCodecG722& operator=(const TCodecG722&) = delete;

  int GetFrameSize() override { return kFrameSamples; }  // at the 8000 Hz RTP clock
  int GetPayloadType() override { return kPayloadType; }
  int GetSampleRate() override { return kWideRate; }
  // Any whole number of bytes decodes, two samples each (up to what the
  // decode area holds).
  int Decode(const uint8_t* payload, int16_t* samples, int length) override;
  int Encode(const int16_t* frame, uint8_t* payload) override;

private:
  g722_encode_state_s* encoder_;
  g722_decode_state_s* decoder_;
};

}  // namespace qv
