// Received payloads straight into every decoder, and the detector on whatever
// comes out: any bytes, any length up to one receive area, must decode.
#include <cstddef>
#include <cstdint>

#include "media/codecs.h"
#include "media/dtmf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const qv::IAudioCodecPtr codecs[] = {qv::CreateCodec(0), qv::CreateCodec(8),
                                              qv::CreateCodec(3), qv::CreateCodec(110)};
  if (size > 512) size = 512;  // the receiving path keeps payloads within 512 samples
  int16_t pcm[512];
  for (const auto& codec : codecs) {
    if (!codec) continue;
    const int bytes = codec->Decode(data, pcm, int(size));
    if (bytes >= 320) {
      uint8_t detector[160];
      qv::PcmToDetectorInput(pcm, detector);
      qv::DetectDigit(detector);
      qv::IsSilent(detector, 500);
    }
  }
  return 0;
}
