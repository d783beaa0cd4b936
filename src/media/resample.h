// Rate conversion of 16-bit mono PCM for whole recordings (WAV files being
// loaded, synthesised speech). Not meant for the real-time paths: it allocates.
//
// The converter is continuous across Process calls, so a long file converted
// piece by piece has no seams; Finish then drains the filter so the output
// reaches exactly the length the caller asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SpeexResamplerState_;

namespace qv {

// Lowest and highest sample rates we agree to convert from or to.
constexpr int64_t kMinPcmRate = 1000;
constexpr int64_t kMaxPcmRate = 384000;

class TPcmResampler {
public:
  TPcmResampler(int inRate, int outRate);
  ~TPcmResampler();
  TPcmResampler(const TPcmResampler&) = delete;
  TPcmResampler& operator=(const TPcmResampler&) = delete;

  // False when the rates are out of range or the converter could not start.
  bool Valid() const { return valid_; }

  // Converts `count` samples and appends the result to `out`, but never lets
  // `out` grow past `limit` samples (the rest of the output is dropped).
  void Process(const int16_t* in, size_t count, std::vector<int16_t>& out, size_t limit);

  // Feeds silence through the filter until `out` holds `total` samples, so the
  // last input samples come out too; pads with zeros should that fall short.
  void Finish(std::vector<int16_t>& out, size_t total);

private:
  SpeexResamplerState_* state_ = nullptr;  // null for equal rates: a plain copy
  bool valid_ = false;
  int inRate_;
  int outRate_;
};

// Converts a whole buffer from one rate to the other; the result holds
// round(count * outRate / inRate) samples. Empty when the rates are refused.
std::vector<int16_t> ResamplePcm(const int16_t* in, size_t count, int inRate, int outRate);

}  // namespace qv

namespace qv {

// Rate conversion of a stream of frames on the real-time paths: the narrowband
// side of a wideband call (conference, recorder, DTMF detector, WAV sources)
// and a codec whose rate differs from the devices'. Made once (Setup
// allocates); Convert neither allocates nor locks. Consecutive calls form one
// continuous signal. One thread at a time.
class TFrameResampler {
public:
  TFrameResampler() = default;
  ~TFrameResampler();
  TFrameResampler(const TFrameResampler&) = delete;
  TFrameResampler& operator=(const TFrameResampler&) = delete;

  // Prepares `inRate` -> `outRate` (each 1000 to kMaxPcmRate); nothing when
  // already so. Equal rates copy.
  void Setup(int inRate, int outRate);
  bool Ready() const { return ready_; }
  int InRate() const { return inRate_; }
  int OutRate() const { return outRate_; }

  // Converts `count` samples into exactly `outCount` (count * outRate /
  // inRate: the caller keeps whole frames); a converter that gives fewer pads
  // with its last sample. `in` and `out` may not overlap.
  void Convert(const int16_t* in, int count, int16_t* out, int outCount);

private:
  SpeexResamplerState_* state_ = nullptr;
  bool ready_ = false;
  int inRate_ = 0;
  int outRate_ = 0;
};

}  // namespace qv
