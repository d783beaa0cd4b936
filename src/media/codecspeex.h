// Speex narrowband (RTP payload type 110) over the run-time loaded library.
//
// Quality 10 with variable bit rate off, so every frame codes to the same
// number of bytes; perceptual enhancement is off in the decoder. Encoder and
// decoder have their own state and bit buffer: one object may encode on the
// capture thread while it decodes on the playback thread.
#pragma once

#include <speex/speex_bits.h>

#include "sip/sipints.h"

namespace qv {

struct TSpeexApi;

class TCodecSpeex final : public IAudioCodec {
public:
  // Raises qv::Exception when the library is absent (see SpeexAvailable()).
  TCodecSpeex();
  ~TCodecSpeex() override;
  TCodecSpeex(const TCodecSpeex&) = delete;
  TCodecSpeex& operator=(const TCodecSpeex&) = delete;

  int GetFrameSize() override { return kFrameSamples; }
  int GetPayloadType() override { return 110; }
  // Decodes the frames of one packet, up to three (60 ms), and returns 320
  // bytes for each. Samples beyond the 16-bit range saturate; a packet the
  // library rejects plays as one frame of silence.
  int Decode(const uint8_t* payload, int16_t* samples, int length) override;
  int Encode(const int16_t* frame, uint8_t* payload) override;

  static constexpr int kMaxDecodedFrames = 3;

  int EncoderFrameSize() const { return encoderFrameSize_; }
  int DecoderFrameSize() const { return decoderFrameSize_; }

private:
  const TSpeexApi& api_;
  SpeexBits encoderBits_{};
  void* encoder_ = nullptr;
  SpeexBits decoderBits_{};
  void* decoder_ = nullptr;
  int encoderFrameSize_ = 0;
  int decoderFrameSize_ = 0;
  int sampleRate_ = 8000;
  int quality_ = 10;
};

}  // namespace qv
