#include "media/codecspeex.h"

#include <speex/speex.h>

#include <cmath>
#include <cstdint>

#include "media/speexlib.h"
#include "platform/errors.h"

namespace qv {

namespace {

const TSpeexApi& RequireApi() {
  const TSpeexApi* api = SpeexApi();
  if (!api) throw Exception("Speex library not loaded");
  return *api;
}

// Nearest integer, ties to even, clipped to 16 bits: a decoder overshoot
// must clip rather than wrap round into a full-scale click.
int16_t ToSample(float value) {
  if (std::isnan(value)) return 0;
  if (value >= 32767.0f) return 32767;
  if (value <= -32768.0f) return -32768;
  return int16_t(std::nearbyint(value));
}

}  // namespace

TCodecSpeex::TCodecSpeex() : api_(RequireApi()) {
  api_.bits_init(&encoderBits_);
  encoder_ = api_.encoder_init(api_.lib_get_mode(SPEEX_MODEID_NB));
  spx_int32_t rate = sampleRate_;
  spx_int32_t quality = quality_;
  float vbrQuality = float(quality_);  // only used if VBR were switched on
  spx_int32_t frameSize = 0;
  api_.encoder_ctl(encoder_, SPEEX_SET_SAMPLING_RATE, &rate);
  api_.encoder_ctl(encoder_, SPEEX_SET_QUALITY, &quality);
  api_.encoder_ctl(encoder_, SPEEX_SET_VBR_QUALITY, &vbrQuality);
  api_.encoder_ctl(encoder_, SPEEX_GET_FRAME_SIZE, &frameSize);
  encoderFrameSize_ = frameSize;

  api_.bits_init(&decoderBits_);
  decoder_ = api_.decoder_init(api_.lib_get_mode(SPEEX_MODEID_NB));
  frameSize = 0;
  spx_int32_t enhancement = 0;
  api_.decoder_ctl(decoder_, SPEEX_GET_FRAME_SIZE, &frameSize);
  api_.decoder_ctl(decoder_, SPEEX_SET_ENH, &enhancement);
  decoderFrameSize_ = frameSize;
}

TCodecSpeex::~TCodecSpeex() {
  api_.bits_destroy(&encoderBits_);
  api_.encoder_destroy(encoder_);
  api_.bits_destroy(&decoderBits_);
  api_.decoder_destroy(decoder_);
}

int TCodecSpeex::Encode(const int16_t* frame, uint8_t* payload) {
  float input[kFrameSamples];
  for (int i = 0; i < kFrameSamples; ++i) input[i] = float(frame[i]);
  api_.bits_reset(&encoderBits_);
  api_.encode(encoder_, input, &encoderBits_);
  const int n = api_.bits_nbytes(&encoderBits_);
  // The caller's area holds 1024 bytes; one narrowband frame is at most 62.
  return api_.bits_write(&encoderBits_, reinterpret_cast<char*>(payload), n);
}

int TCodecSpeex::Decode(const uint8_t* payload, int16_t* samples, int length) {
  api_.bits_read_from(&decoderBits_, reinterpret_cast<const char*>(payload),
                      length > 0 ? length : 0);
  // A packet may hold several frames, bit after bit (RFC 5574 3.3). Another
  // frame follows only when at least as many bits remain as the first took,
  // so the padding of a single frame is never read as a frame of its own.
  auto used = [this] { return decoderBits_.charPtr * 8 + decoderBits_.bitPtr; };
  int frames = 0;
  int frameBits = 0;
  do {
    float output[kFrameSamples] = {};
    const int before = used();
    const bool decoded = api_.decode(decoder_, &decoderBits_, output) == 0;
    for (int i = 0; i < kFrameSamples; ++i) samples[frames * kFrameSamples + i] = decoded ? ToSample(output[i]) : 0;
    ++frames;
    if (!decoded) break;  // a packet the library rejects plays as one frame of silence
    if (frames == 1) frameBits = used() - before;
  } while (frames < kMaxDecodedFrames && frameBits > 0 && decoderBits_.nbBits - used() >= frameBits);
  return frames * kFrameBytes;
}

}  // namespace qv
