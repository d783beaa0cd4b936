#include "media/codecs.h"

#include "media/codecg722.h"
#include "media/codecgsm.h"
#include "media/codecopus.h"
#include "media/codecpcm.h"
#include "media/codecspeex.h"
#include "media/speexlib.h"

namespace qv {

bool SpeexAvailable() { return SpeexApi() != nullptr; }

IAudioCodecPtr CreateCodec(int payloadType, const std::string& peerFormat) {
  switch (payloadType) {
    case kCodecPCMU:
      return std::make_shared<TCodecPCMU>();
    case kCodecPCMA:
      return std::make_shared<TCodecPCMA>();
    case kCodecGSM:
      return std::make_shared<TCodecGSM>();
    case kCodecG722:
      return std::make_shared<TCodecG722>();
    case kCodecOpus:
      return std::make_shared<TCodecOpus>(ParseOpusFormat(peerFormat));
    case kCodecSpeex:
      if (SpeexAvailable()) return std::make_shared<TCodecSpeex>();
      return nullptr;
    default:
      return nullptr;
  }
}

std::vector<int> NarrowbandCodecs() {
  std::vector<int> codecs = {kCodecPCMU, kCodecPCMA, kCodecGSM};
  if (SpeexAvailable()) codecs.push_back(kCodecSpeex);
  return codecs;
}

std::vector<int> WidebandCodecs() {
  std::vector<int> codecs = {kCodecOpus, kCodecG722};
  for (int codec : NarrowbandCodecs()) codecs.push_back(codec);
  return codecs;
}

int CodecSampleRate(int payloadType) {
  return payloadType == kCodecG722 || payloadType == kCodecOpus ? kWideRate : kNarrowRate;
}

}  // namespace qv
