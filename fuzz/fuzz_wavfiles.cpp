// WAV loading from hostile bytes: the RIFF walk and both conversions (call
// audio and the ring-tone rate). Must not crash, hang or grow without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "media/resample.h"
#include "media/wavfiles.h"

namespace {

// What a source could ever expand to: 8-bit at the lowest rate accepted
// becoming 16-bit at the highest target rate, plus a sample of rounding.
size_t Bound(size_t input, int targetRate) {
  return (input + 2) * 2 * size_t(targetRate) / size_t(qv::kMinPcmRate) + 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view file(reinterpret_cast<const char*>(data), size);

  qv::TRiffInfo info = qv::ParseRiff(file);
  if (info.DataOffset < 0 || info.DataLength < 0 ||
      size_t(info.DataOffset) + size_t(info.DataLength) > size)
    std::abort();

  for (int rate : {8000, 22050}) {
    std::string pcm;
    qv::LoadWavAsPcm(file, pcm, 16, rate);
    if (pcm.size() > Bound(size, rate)) std::abort();
  }

  std::istringstream source{std::string(file)};
  std::stringstream target;
  qv::LoadWavAsPcm(source, target, 8, 11025);
  return 0;
}
