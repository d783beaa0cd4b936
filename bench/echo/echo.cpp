// Echo cancellers side by side: ours (speexdsp's canceller and preprocessor)
// and webrtc-audio-processing, on the same echo scene (the far talker played
// into a 250 ms RT60 room, the near talker at the microphone).
//
//   bench_echo                 the table of figures, then the timings
//   BM_Echo/<engine>/<rate>    CPU per 10 ms block
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "media/echocanceller.h"
#include "media/echospeex.h"
#include "support/echo_scene.h"
#include "webrtc_processor.h"

namespace {

using qv::TEchoCanceller;
using qv::TEchoProcessorFactory;

// 0 speexdsp; 1 webrtc-audio-processing, high suppression; 2 the same, moderate.
TEchoProcessorFactory Factory(int engine) {
  return engine == 0   ? &qv::TSpeexEchoProcessor::Create
         : engine == 1 ? &qv::bench::CreateWebRtcProcessor
                       : &qv::bench::CreateWebRtcModerateProcessor;
}
const char* Name(int engine) { return engine == 0 ? "speexdsp" : engine == 1 ? "webrtc" : "webrtc-mod"; }

void PrintTable() {
  std::printf("%-10s %6s %6s %9s %10s %10s %10s %14s %10s\n", "engine", "rate", "delay", "ERLE dB", "near corr",
              "alone", "both talk", "found delay", "us/block");
  for (int rate : {8000, 16000, 48000}) {
    const qv::test::TEchoScene scene = qv::test::MakeEchoScene(rate);
    if (scene.Far.empty()) {
      std::printf("no speech voices: no table\n");
      return;
    }
    for (double delay : {30.0, 75.0, 120.0})
      for (int engine : {0, 1, 2}) {
        const auto f = qv::test::RunEchoScene(scene, delay, Factory(engine));
        std::printf("%-10s %6d %6.0f %9.1f %10.3f %10.3f %10.3f %11d ms %10.1f\n", Name(engine), rate, delay,
                    f.ErleDb, f.NearCorrelation, f.NearAloneCorrelation, f.DoubleTalkCorrelation, f.EchoDelayMs,
                    f.NsPerBlock / 1000);
      }
  }
  std::fflush(stdout);
}

void BM_Echo(benchmark::State& state) {
  const int engine = int(state.range(0));
  const int rate = int(state.range(1));
  state.SetLabel(Name(engine));
  TEchoCanceller canceller(rate, Factory(engine));
  const int frame = 2 * canceller.BlockSamples();
  // Far speech-like noise played, its echo plus a little near noise captured.
  std::vector<int16_t> far(size_t(rate) * 4), mic(far.size());
  uint32_t noise = 1;
  for (size_t i = 0; i < far.size(); ++i) {
    noise = noise * 1664525u + 1013904223u;
    far[i] = int16_t(int32_t(noise >> 16) % 6000 - 3000);
    mic[i] = int16_t((i >= 400 ? far[i - 400] / 2 : 0) + int32_t(noise >> 24) - 128);
  }
  std::vector<int16_t> out(static_cast<size_t>(frame));
  size_t at = 0;
  qv::TMediaTimeNs now = 1'000'000'000;
  for (auto _ : state) {
    if (at + size_t(frame) > far.size()) at = 0;
    canceller.Began(canceller.Played(far.data() + at, frame), frame, now);
    std::copy(mic.begin() + long(at), mic.begin() + long(at + size_t(frame)), out.begin());
    canceller.Capture(out.data(), frame, now);
    benchmark::DoNotOptimize(out.data());
    at += size_t(frame);
    now += 20'000'000;
  }
  // Each iteration is one 20 ms frame: two blocks.
  state.counters["us_per_10ms_block"] = benchmark::Counter(
      double(state.iterations()) * 2, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Echo)->ArgsProduct({{0, 1}, {8000, 16000, 48000}})->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  PrintTable();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
