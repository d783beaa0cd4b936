// Mouth-to-ear delay through a call on the virtual sound devices: the
// "microphone" of one side plays a known noise, and the meter finds where the
// audio the other side's "speaker" just played sits in that noise. The delay
// is the time between the capture of that stretch and its playing, both as
// the virtual devices noted them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace qv::test {

class TLatencyMeter {
public:
  // Sets `inputDevice`'s source to `seconds` of noise (not looped).
  TLatencyMeter(int inputDevice, int outputDevice, double seconds);

  // The delay in ms of what the speaker played most recently, or nothing when
  // that stretch is not found clearly in the noise (silence, concealment).
  std::optional<double> MeasureMs();

private:
  int input_, output_;
  std::vector<int16_t> noise_;
};

}  // namespace qv::test
