#include "media/echospeex.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "platform/errors.h"

namespace qv {

TSpeexEchoProcessor::TSpeexEchoProcessor(int sampleRate, int blockSamples, int filterSamples) : rate_(sampleRate) {
  echo_ = speex_echo_state_init(blockSamples, filterSamples);
  preprocess_ = speex_preprocess_state_init(blockSamples, sampleRate);
  if (!echo_ || !preprocess_) {
    if (echo_) speex_echo_state_destroy(echo_);
    if (preprocess_) speex_preprocess_state_destroy(preprocess_);
    throw Exception("The echo canceller could not start");
  }
  // speexdsp chooses the notch that keeps DC out of its filter by the rate it
  // is told: below 12 kHz a wide one (about 130 Hz at 8 kHz) that takes a
  // man's voice's fundamental with it, and the near talker comes out thin. At
  // 8 kHz it is told 12000, which gives the narrow notch (about 23 Hz) and
  // adaptation constants two thirds of the nominal ones: measured, the echo
  // goes as far down and the voice is kept whole.
  int told = rate_ < 12000 ? 12000 : rate_;
  speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &told);
  // The denoiser also carries the suppression of the echo the filter left.
  int on = 1;
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_DENOISE, &on);
  // The preprocessor reads the filter's estimate of the echo it left and
  // suppresses that too: the adaptive filter alone stops short of what a
  // listener no longer hears.
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
}

TSpeexEchoProcessor::~TSpeexEchoProcessor() {
  speex_preprocess_state_destroy(preprocess_);
  speex_echo_state_destroy(echo_);
}

std::unique_ptr<IEchoProcessor> TSpeexEchoProcessor::Create(int sampleRate, int blockSamples, int filterSamples) {
  return std::make_unique<TSpeexEchoProcessor>(sampleRate, blockSamples, filterSamples);
}

void TSpeexEchoProcessor::Process(const int16_t* near, const int16_t* far, int16_t* out) {
  speex_echo_cancellation(echo_, near, far, out);
  speex_preprocess_run(preprocess_, out);
}

void TSpeexEchoProcessor::Reset() { speex_echo_state_reset(echo_); }

int TSpeexEchoProcessor::EchoPeak() {
  int size = 0;
  speex_echo_ctl(echo_, SPEEX_ECHO_GET_IMPULSE_RESPONSE_SIZE, &size);
  if (size <= 0) return -1;
  std::vector<int32_t> response(size_t(size), 0);
  speex_echo_ctl(echo_, SPEEX_ECHO_GET_IMPULSE_RESPONSE, response.data());
  int peak = -1;
  int64_t best = 0;
  for (int i = 0; i < size; ++i) {
    const int64_t magnitude = std::llabs(int64_t(response[size_t(i)]));
    if (magnitude > best) {
      best = magnitude;
      peak = i;
    }
  }
  return peak;
}

}  // namespace qv
