// speexdsp's echo canceller (a multidelay block frequency-domain adaptive
// filter) followed by its preprocessor, which suppresses the echo the filter
// left, using the filter's estimate of it, and steady background noise.
// Single thread.
#pragma once

#include <memory>

#include "media/echocanceller.h"

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace qv {

class TSpeexEchoProcessor final : public IEchoProcessor {
public:
  TSpeexEchoProcessor(int sampleRate, int blockSamples, int filterSamples);
  ~TSpeexEchoProcessor() override;

  void Process(const int16_t* near, const int16_t* far, int16_t* out) override;
  void Reset() override;
  int EchoPeak() override;

  static std::unique_ptr<IEchoProcessor> Create(int sampleRate, int blockSamples, int filterSamples);

private:
  SpeexEchoState_* echo_ = nullptr;
  SpeexPreprocessState_* preprocess_ = nullptr;
  int rate_;
};

}  // namespace qv
