#include "media/codecg722.h"

#include <spandsp.h>

#include <algorithm>

#include "platform/errors.h"

namespace qv {

TCodecG722::TCodecG722()
    : encoder_(g722_encode_init(nullptr, 64000, 0)), decoder_(g722_decode_init(nullptr, 64000, 0)) {
  if (!encoder_ || !decoder_) {
    if (encoder_) g722_encode_free(encoder_);
    if (decoder_) g722_decode_free(decoder_);
    throw Exception("G.722 coder could not be made");
  }
}

TCodecG722::~TCodecG722() {
  g722_encode_free(encoder_);
  g722_decode_free(decoder_);
}

int TCodecG722::Encode(const int16_t* frame, uint8_t* payload) {
  return g722_encode(encoder_, payload, frame, FrameSamplesAt(kWideRate));
}

int TCodecG722::Decode(const uint8_t* payload, int16_t* samples, int length) {
  const int bytes = std::clamp(length, 0, kMaxDecodedSamples / 2);
  if (bytes == 0) return 0;
  return 2 * g722_decode(decoder_, samples, payload, bytes);
}

}  // namespace qv
