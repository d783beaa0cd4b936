#include "support/echo_scene.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "media/resample.h"
#include "media/text2speech.h"
#include "platform/audio_virtual.h"

namespace qv::test {

namespace {

constexpr int kBaseRate = 8000;

std::vector<int16_t> Speak(const std::string& text, int voice) {
  std::string bytes;
  SpeakToPcm(text, voice, bytes);
  std::vector<int16_t> pcm(bytes.size() / 2);
  std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
  return pcm;
}

// Copies speech into [from, to) seconds of `track`, looping it to fill, at an
// RMS of about -20 dBFS.
void Place(std::vector<int16_t>& track, const std::vector<int16_t>& speech, double from, double to) {
  if (speech.empty()) return;
  double sum = 0;
  for (int16_t s : speech) sum += double(s) * s;
  const double gain = 2300.0 / std::max(1.0, std::sqrt(sum / double(speech.size())));
  const size_t begin = size_t(from * kBaseRate), end = std::min(track.size(), size_t(to * kBaseRate));
  for (size_t i = begin; i < end; ++i)
    track[i] = int16_t(std::clamp(std::lround(speech[(i - begin) % speech.size()] * gain), -32768L, 32767L));
}

}  // namespace

TEchoScene MakeEchoScene(int rate) {
  TEchoScene scene;
  scene.Rate = rate;
  // eSpeak NG names its English voices by country ("en-gb", "en-us").
  int english = FindSpeechVoice("en-gb");
  if (english < 0) english = FindSpeechVoice("en-us");
  const int spanish = FindSpeechVoice("es");
  if (english < 0 || spanish < 0) return scene;
  const auto far = Speak(
      "The quick brown fox jumps over the lazy dog. Please call me back tomorrow morning about the "
      "quarterly report, and bring the numbers from the meeting in Madrid.",
      english);
  const auto near = Speak(
      "Hola, buenas tardes. Le llamo por la factura del mes pasado, que todavia no ha llegado a la "
      "oficina de Sevilla.",
      spanish);
  const size_t total = size_t(9 * kBaseRate);
  std::vector<int16_t> farTrack(total, 0), nearTrack(total, 0);
  Place(farTrack, far, 0, 5);
  Place(farTrack, std::vector<int16_t>(far.begin() + std::min(far.size(), size_t(2 * kBaseRate)), far.end()), 7,
        9);
  Place(nearTrack, near, 5, 9);
  if (rate == kBaseRate) {
    scene.Far = std::move(farTrack);
    scene.Near = std::move(nearTrack);
  } else {
    scene.Far = ResamplePcm(farTrack.data(), farTrack.size(), kBaseRate, rate);
    scene.Near = ResamplePcm(nearTrack.data(), nearTrack.size(), kBaseRate, rate);
  }
  scene.FarOnlyBegin = size_t(2 * rate);
  scene.FarOnlyEnd = size_t(5 * rate);
  // The first 300 ms of the near talker are left to the filters' double-talk
  // detection, and measured all the same from there to the end.
  scene.NearBegin = size_t(5.3 * rate);
  scene.NearEnd = size_t(9 * rate);
  return scene;
}

std::vector<int16_t> EchoAtMicrophone(const std::vector<int16_t>& far, int rate, double delayMs, double rt60Ms,
                                      double gain) {
  const auto taps = VirtualAudio::RoomImpulse(rate, delayMs, rt60Ms, gain);
  std::vector<double> echo(far.size(), 0.0);
  for (const auto& tap : taps)
    for (size_t i = size_t(tap.Offset); i < far.size(); ++i) echo[i] += tap.Gain * far[i - size_t(tap.Offset)];
  std::vector<int16_t> out(far.size());
  for (size_t i = 0; i < far.size(); ++i) out[i] = int16_t(std::clamp(std::lround(echo[i]), -32768L, 32767L));
  return out;
}

double PowerRatioDb(const std::vector<int16_t>& before, const std::vector<int16_t>& after, size_t begin,
                    size_t end) {
  double a = 0, b = 0;
  for (size_t i = begin; i < end && i < before.size() && i < after.size(); ++i) {
    a += double(before[i]) * before[i];
    b += double(after[i]) * after[i];
  }
  return 10 * std::log10((a + 1) / (b + 1));
}

double BestCorrelation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t begin, size_t end,
                       int maxLag) {
  double best = 0;
  for (int lag = 0; lag <= maxLag; ++lag) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = begin; i < end && i + size_t(lag) < b.size() && i < a.size(); ++i) {
      const double x = a[i], y = b[i + size_t(lag)];
      ab += x * y;
      aa += x * x;
      bb += y * y;
    }
    if (aa > 0 && bb > 0) best = std::max(best, ab / std::sqrt(aa * bb));
  }
  return best;
}

double SegmentedCorrelation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t begin, size_t end,
                            int maxLag, size_t segment) {
  double sumAb = 0, sumAa = 0, sumBb = 0;
  for (size_t from = begin; from + segment <= end; from += segment) {
    double bestAb = 0, bestAa = 0, bestBb = 0, best = -2;
    for (int lag = 0; lag <= maxLag; ++lag) {
      double ab = 0, aa = 0, bb = 0;
      for (size_t i = from; i < from + segment && i + size_t(lag) < b.size() && i < a.size(); ++i) {
        const double x = a[i], y = b[i + size_t(lag)];
        ab += x * y;
        aa += x * x;
        bb += y * y;
      }
      const double c = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
      if (c > best) best = c, bestAb = ab, bestAa = aa, bestBb = bb;
    }
    sumAb += bestAb;
    sumAa += bestAa;
    sumBb += bestBb;
  }
  return sumAa > 0 && sumBb > 0 ? sumAb / std::sqrt(sumAa * sumBb) : 0;
}

std::chrono::nanoseconds FeedCanceller(TEchoCanceller& canceller, const std::vector<int16_t>& far,
                                       std::vector<int16_t>& mic, size_t slipAt, size_t gap) {
  const int rate = canceller.SampleRate();
  const int slice = rate / 100;    // a play slice, 10 ms
  const int frame = 2 * slice;     // a capture frame, 20 ms
  const int64_t sliceNs = 10000000;
  const TMediaTimeNs start = 5'000'000'000;
  auto timeOf = [&](size_t sample) { return start + TMediaTimeNs(sample) * 1'000'000'000 / rate; };
  auto begins = [&](size_t first) { return timeOf(first + (first >= slipAt ? gap : 0)); };
  std::vector<int64_t> indices;
  size_t handed = 0, marked = 0;
  std::chrono::nanoseconds spent{0};
  for (size_t at = 0; at + size_t(frame) <= mic.size(); at += size_t(frame)) {
    // A capture frame is handled once it is full. By then the playout has
    // handed the speaker two slices beyond what plays, and the device has
    // given back, with the time each began, the slices that have played.
    const TMediaTimeNs now = timeOf(at + size_t(frame));
    while (handed + size_t(slice) <= far.size() && begins(handed) < now + 2 * sliceNs) {
      indices.push_back(canceller.Played(far.data() + handed, slice));
      handed += size_t(slice);
    }
    for (; marked < handed && begins(marked) + sliceNs <= now; marked += size_t(slice))
      canceller.Began(indices[marked / size_t(slice)], slice, begins(marked));
    const auto t0 = std::chrono::steady_clock::now();
    canceller.Capture(mic.data() + at, frame, timeOf(at));
    spent += std::chrono::steady_clock::now() - t0;
  }
  return spent;
}

TEchoFigures RunEchoScene(const TEchoScene& scene, double delayMs, TEchoProcessorFactory factory,
                          std::vector<int16_t>* output, double slipMs) {
  TEchoFigures figures;
  const int rate = scene.Rate;
  // The speaker runs dry at 3 s for `slipMs`: what it was handed from there
  // on plays that much later, and the room hears silence in between.
  const size_t slipAt = size_t(3 * rate), gap = size_t(slipMs * rate / 1000);
  std::vector<int16_t> played(scene.Far);
  if (gap > 0) {
    played.insert(played.begin() + long(slipAt), gap, int16_t(0));
    played.resize(scene.Far.size());
  }
  const std::vector<int16_t> echo = EchoAtMicrophone(played, rate, delayMs, kSceneRt60Ms, kSceneRoomGain);
  std::vector<int16_t> out(scene.Near.size());
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = int16_t(std::clamp(int(scene.Near[i]) + echo[i], -32768, 32767));
  TEchoCanceller canceller(rate, factory);
  const std::chrono::nanoseconds spent = FeedCanceller(canceller, scene.Far, out, slipAt, gap);
  figures.ErleDb = PowerRatioDb(echo, out, scene.FarOnlyBegin, scene.FarOnlyEnd);
  // What a slip costs is the filter's length of wrong history (a quarter of
  // a second); what it must not cost is the room.
  if (gap > 0) figures.ErleAfterSlipDb = PowerRatioDb(echo, out, slipAt + size_t(rate / 4), scene.FarOnlyEnd);
  // Both libraries' suppressors hand the voice back a block or two late.
  figures.NearCorrelation = BestCorrelation(scene.Near, out, scene.NearBegin, scene.NearEnd, rate / 50);
  figures.NearAloneCorrelation = BestCorrelation(scene.Near, out, scene.NearBegin, size_t(7 * rate), rate / 50);
  figures.DoubleTalkCorrelation = BestCorrelation(scene.Near, out, size_t(7 * rate), scene.NearEnd, rate / 50);
  figures.EchoDelayMs = canceller.EchoDelayMs();
  figures.NsPerBlock = double(spent.count()) / double(out.size() / size_t(rate / 100));
  if (output) *output = std::move(out);
  return figures;
}

}  // namespace qv::test
