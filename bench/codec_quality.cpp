// The codec quality table (the figures tests/unit/codec_quality_test.cpp
// asserts on), then the cost of one frame through each codec, ours side by
// side with the reference library (G.722 and Opus: 20 ms at 16000 Hz).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>

#include "support/audiosignals.h"
#include "support/codec_quality.h"

namespace {

using namespace qv::test;

const std::vector<int16_t>& Speech() {
  static const std::vector<int16_t> speech = SpeechLike(3000, 160 * 50, 7);
  return speech;
}

// One frame of speech-like audio encoded, then decoded, by one side.
void Frame(benchmark::State& state, bool ours) {
  const int payloadType = int(state.range(0));
  auto coder = ours ? OurCoder(payloadType) : ReferenceCoder(payloadType);
  if (!coder) {
    state.SkipWithError("library absent");
    return;
  }
  // The wideband codecs take 20 ms at 16000 Hz: the same samples, twice as many.
  const size_t frame = payloadType == 9 || payloadType == 111 ? 320 : 160;
  size_t at = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(coder->Decode(coder->Encode(&Speech()[at])));
    at = (at + frame) % Speech().size();
  }
}

void Ours(benchmark::State& state) { Frame(state, true); }
void Reference(benchmark::State& state) { Frame(state, false); }

BENCHMARK(Ours)->Arg(0)->Arg(8)->Arg(3)->Arg(110)->Arg(9)->Arg(111);
BENCHMARK(Reference)->Arg(0)->Arg(8)->Arg(3)->Arg(110)->Arg(9)->Arg(111);

}  // namespace

int main(int argc, char** argv) {
  std::printf("Codec quality (SNR; speech: segmental SNR of Spanish from the speech engine)\n%s\n",
              FormatQualityTable(MeasureCodecQuality(SpanishSpeech())).c_str());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
