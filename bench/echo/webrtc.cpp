// The other candidate: webrtc-audio-processing's echo canceller (extended
// filter, delay-agnostic) with its noise suppressor and high-pass filter,
// behind the same IEchoProcessor as ours, so that both run the same scene.
#include "webrtc_processor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <cstring>

namespace qv::bench {

namespace {

class TWebRtcEchoProcessor final : public IEchoProcessor {
public:
  TWebRtcEchoProcessor(int rate, int block, webrtc::EchoCancellation::SuppressionLevel level)
      : rate_(rate), block_(block) {
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    apm_.reset(webrtc::AudioProcessing::Create(config));
    apm_->echo_cancellation()->enable_drift_compensation(false);
    apm_->echo_cancellation()->set_suppression_level(level);
    apm_->echo_cancellation()->enable_delay_logging(true);
    apm_->echo_cancellation()->Enable(true);
    apm_->noise_suppression()->set_level(webrtc::NoiseSuppression::kHigh);
    apm_->noise_suppression()->Enable(true);
    apm_->high_pass_filter()->Enable(true);
  }

  void Process(const int16_t* near, const int16_t* far, int16_t* out) override {
    webrtc::AudioFrame frame;
    frame.sample_rate_hz_ = rate_;
    frame.num_channels_ = 1;
    frame.samples_per_channel_ = size_t(block_);
    std::memcpy(frame.data_, far, sizeof(int16_t) * size_t(block_));
    apm_->ProcessReverseStream(&frame);
    std::memcpy(frame.data_, near, sizeof(int16_t) * size_t(block_));
    // The reference comes aligned to the capture already.
    apm_->set_stream_delay_ms(0);
    apm_->ProcessStream(&frame);
    std::memcpy(out, frame.data_, sizeof(int16_t) * size_t(block_));
  }

  void Reset() override { apm_->Initialize(); }

  int EchoPeak() override {
    int median = -1, deviation = 0;
    float poor = 0;
    if (apm_->echo_cancellation()->GetDelayMetrics(&median, &deviation, &poor) != 0 || median < 0) return -1;
    // Counted from the reference as given, as the filter's peak is.
    return median * rate_ / 1000;
  }

private:
  int rate_, block_;
  std::unique_ptr<webrtc::AudioProcessing> apm_;
};

}  // namespace

std::unique_ptr<IEchoProcessor> CreateWebRtcProcessor(int rate, int block, int /*filter*/) {
  return std::make_unique<TWebRtcEchoProcessor>(rate, block, webrtc::EchoCancellation::kHighSuppression);
}

std::unique_ptr<IEchoProcessor> CreateWebRtcModerateProcessor(int rate, int block, int /*filter*/) {
  return std::make_unique<TWebRtcEchoProcessor>(rate, block, webrtc::EchoCancellation::kModerateSuppression);
}

}  // namespace qv::bench
