// G.711 per 160-sample frame: ours side by side with spandsp, plus the cost
// of one GSM frame through our codec and through libgsm alone.
#include <benchmark/benchmark.h>
#include <gsm.h>
#include <spandsp.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "media/codecgsm.h"
#include "media/codecpcm.h"

namespace {

// Speech-like level and spread: a few sines with a slow envelope, so every
// segment of the laws is visited.
std::vector<int16_t> TestFrame() {
  std::vector<int16_t> frame(160);
  for (int n = 0; n < 160; ++n) {
    const double v = 9000 * std::sin(0.07 * n) + 5000 * std::sin(0.61 * n) + 2500 * std::sin(1.9 * n);
    frame[size_t(n)] = int16_t(v * (0.2 + 0.8 * n / 160.0));
  }
  return frame;
}

template <typename Codec>
void OursEncode(benchmark::State& state) {
  Codec codec;
  const auto frame = TestFrame();
  uint8_t payload[1024];
  for (auto _ : state) {
    benchmark::DoNotOptimize(codec.Encode(frame.data(), payload));
    benchmark::ClobberMemory();
  }
}

template <typename Codec>
void OursDecode(benchmark::State& state) {
  Codec codec;
  const auto frame = TestFrame();
  uint8_t payload[1024];
  codec.Encode(frame.data(), payload);
  int16_t pcm[512];
  for (auto _ : state) {
    benchmark::DoNotOptimize(codec.Decode(payload, pcm, 160));
    benchmark::ClobberMemory();
  }
}

void SpandspEncode(benchmark::State& state) {
  g711_state_t* s = g711_init(nullptr, int(state.range(0)));
  const auto frame = TestFrame();
  uint8_t payload[160];
  for (auto _ : state) {
    benchmark::DoNotOptimize(g711_encode(s, payload, frame.data(), 160));
    benchmark::ClobberMemory();
  }
  g711_free(s);
}

void SpandspDecode(benchmark::State& state) {
  g711_state_t* s = g711_init(nullptr, int(state.range(0)));
  const auto frame = TestFrame();
  uint8_t payload[160];
  g711_encode(s, payload, frame.data(), 160);
  int16_t pcm[160];
  for (auto _ : state) {
    benchmark::DoNotOptimize(g711_decode(s, pcm, payload, 160));
    benchmark::ClobberMemory();
  }
  g711_free(s);
}

void LibgsmEncodeOnce(benchmark::State& state) {
  gsm g = gsm_create();
  auto frame = TestFrame();
  gsm_byte out[33];
  for (auto _ : state) {
    gsm_encode(g, frame.data(), out);
    benchmark::ClobberMemory();
  }
  gsm_destroy(g);
}

void LibgsmDecodeOnce(benchmark::State& state) {
  gsm g = gsm_create();
  auto frame = TestFrame();
  gsm_byte payload[33];
  gsm_encode(g, frame.data(), payload);
  gsm_signal pcm[160];
  for (auto _ : state) {
    benchmark::DoNotOptimize(gsm_decode(g, payload, pcm));
    benchmark::ClobberMemory();
  }
  gsm_destroy(g);
}

}  // namespace

BENCHMARK(OursEncode<qv::TCodecPCMU>)->Name("PCMU/encode/ours");
BENCHMARK(SpandspEncode)->Name("PCMU/encode/spandsp")->Arg(G711_ULAW);
BENCHMARK(OursDecode<qv::TCodecPCMU>)->Name("PCMU/decode/ours");
BENCHMARK(SpandspDecode)->Name("PCMU/decode/spandsp")->Arg(G711_ULAW);
BENCHMARK(OursEncode<qv::TCodecPCMA>)->Name("PCMA/encode/ours");
BENCHMARK(SpandspEncode)->Name("PCMA/encode/spandsp")->Arg(G711_ALAW);
BENCHMARK(OursDecode<qv::TCodecPCMA>)->Name("PCMA/decode/ours");
BENCHMARK(SpandspDecode)->Name("PCMA/decode/spandsp")->Arg(G711_ALAW);
// Our GSM codes each frame twice and converts the bit layout.
BENCHMARK(OursEncode<qv::TCodecGSM>)->Name("GSM/encode/ours");
BENCHMARK(LibgsmEncodeOnce)->Name("GSM/encode/libgsm-once");
BENCHMARK(OursDecode<qv::TCodecGSM>)->Name("GSM/decode/ours");
BENCHMARK(LibgsmDecodeOnce)->Name("GSM/decode/libgsm-once");

BENCHMARK_MAIN();
