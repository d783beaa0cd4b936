#include "media/resample.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>

namespace qv {

namespace {

// Loading a file is not real-time work, so take the better filter.
constexpr int kQuality = SPEEX_RESAMPLER_QUALITY_DESKTOP;
constexpr size_t kBlock = 4096;

bool RateInRange(int rate) { return rate >= kMinPcmRate && rate <= kMaxPcmRate; }

}  // namespace

TPcmResampler::TPcmResampler(int inRate, int outRate) : inRate_(inRate), outRate_(outRate) {
  if (!RateInRange(inRate) || !RateInRange(outRate)) return;
  if (inRate == outRate) {
    valid_ = true;
    return;
  }
  int error = 0;
  state_ = speex_resampler_init(1, spx_uint32_t(inRate), spx_uint32_t(outRate), kQuality, &error);
  if (state_ == nullptr || error != RESAMPLER_ERR_SUCCESS) {
    if (state_ != nullptr) speex_resampler_destroy(state_);
    state_ = nullptr;
    return;
  }
  valid_ = true;
  // Without this the output starts with the filter's delay as silence and
  // every converted file would begin late by a few milliseconds.
  speex_resampler_skip_zeros(state_);
}

TPcmResampler::~TPcmResampler() {
  if (state_ != nullptr) speex_resampler_destroy(state_);
}

void TPcmResampler::Process(const int16_t* in, size_t count, std::vector<int16_t>& out,
                            size_t limit) {
  if (!Valid()) return;
  if (state_ == nullptr) {
    size_t take = std::min(count, limit > out.size() ? limit - out.size() : 0);
    out.insert(out.end(), in, in + take);
    return;
  }
  int16_t buffer[kBlock];
  while (count > 0 && out.size() < limit) {
    spx_uint32_t inLength = spx_uint32_t(std::min(count, kBlock));
    spx_uint32_t outLength = kBlock;
    speex_resampler_process_int(state_, 0, in, &inLength, buffer, &outLength);
    size_t take = std::min(size_t(outLength), limit - out.size());
    out.insert(out.end(), buffer, buffer + take);
    // A converter that neither consumes nor produces would loop forever.
    if (inLength == 0 && outLength == 0) break;
    in += inLength;
    count -= inLength;
  }
}

void TPcmResampler::Finish(std::vector<int16_t>& out, size_t total) {
  if (state_ != nullptr && out.size() < total) {
    // Enough silence to push the filter's delay out and cover the shortfall;
    // computed once so the loop is bounded whatever the converter does.
    size_t missing = total - out.size();
    size_t zeros = size_t(speex_resampler_get_input_latency(state_)) * 2 + 16 +
                   size_t(std::ceil(double(missing) * inRate_ / outRate_));
    static const int16_t silence[kBlock] = {};
    while (zeros > 0 && out.size() < total) {
      size_t block = std::min(zeros, kBlock);
      Process(silence, block, out, total);
      zeros -= block;
    }
  }
  if (out.size() < total) out.resize(total, 0);
}

std::vector<int16_t> ResamplePcm(const int16_t* in, size_t count, int inRate, int outRate) {
  std::vector<int16_t> out;
  TPcmResampler resampler(inRate, outRate);
  if (!resampler.Valid()) return out;
  size_t total = size_t(std::llround(double(count) * outRate / inRate));
  out.reserve(total);
  resampler.Process(in, count, out, total);
  resampler.Finish(out, total);
  return out;
}

}  // namespace qv

namespace qv {

TFrameResampler::~TFrameResampler() {
  if (state_ != nullptr) speex_resampler_destroy(state_);
}

void TFrameResampler::Setup(int inRate, int outRate) {
  if (ready_ && inRate == inRate_ && outRate == outRate_) return;
  if (state_ != nullptr) speex_resampler_destroy(state_);
  state_ = nullptr;
  ready_ = false;
  inRate_ = inRate;
  outRate_ = outRate;
  if (!RateInRange(inRate) || !RateInRange(outRate)) return;
  if (inRate != outRate) {
    int error = 0;
    // The calls' own quality: a short filter, a millisecond of delay.
    state_ = speex_resampler_init(1, spx_uint32_t(inRate), spx_uint32_t(outRate), SPEEX_RESAMPLER_QUALITY_VOIP,
                                  &error);
    if (state_ == nullptr || error != RESAMPLER_ERR_SUCCESS) {
      if (state_ != nullptr) speex_resampler_destroy(state_);
      state_ = nullptr;
      return;
    }
  }
  ready_ = true;
}

void TFrameResampler::Convert(const int16_t* in, int count, int16_t* out, int outCount) {
  if (outCount <= 0) return;
  if (!ready_) {
    std::fill(out, out + outCount, int16_t(0));
    return;
  }
  int done = 0;
  if (state_ == nullptr) {
    done = std::min(count, outCount);
    std::copy(in, in + done, out);
  } else {
    spx_uint32_t inLength = spx_uint32_t(std::max(count, 0));
    spx_uint32_t outLength = spx_uint32_t(outCount);
    speex_resampler_process_int(state_, 0, in, &inLength, out, &outLength);
    done = int(outLength);
  }
  const int16_t last = done > 0 ? out[done - 1] : 0;
  std::fill(out + done, out + outCount, last);
}

}  // namespace qv
