#include "media/codecs.h"

#include "media/codecgsm.h"
#include "media/codecpcm.h"
#include "media/codecspeex.h"
#include "media/speexlib.h"

namespace qv {

bool SpeexAvailable() { return SpeexApi() != nullptr; }

IAudioCodecPtr CreateCodec(int payloadType) {
  switch (payloadType) {
    case 0:
      return std::make_shared<TCodecPCMU>();
    case 8:
      return std::make_shared<TCodecPCMA>();
    case 3:
      return std::make_shared<TCodecGSM>();
    case 110:
      if (SpeexAvailable()) return std::make_shared<TCodecSpeex>();
      return nullptr;
    default:
      return nullptr;
  }
}

}  // namespace qv
