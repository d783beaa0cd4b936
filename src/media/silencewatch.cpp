#include "media/silencewatch.h"

#include "media/dtmf.h"

namespace qv {

double WholeBandPower(const int16_t* frame160) {
  double sum = 0;
  for (int i = 0; i < kDetectorSamples; ++i) {
    const double x = frame160[i] / 32768.0;
    sum += x * x;
  }
  return 12800.0 * sum / kDetectorSamples;
}

bool IsSilentFrame(const int16_t* frame160, const uint8_t* detectorInput, int threshold) {
  return IsSilent(detectorInput, threshold) && double(threshold) > WholeBandPower(frame160);
}

}  // namespace qv
