#include "support/audiosignals.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace qv::test {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFullScaleSineRms = 32767.0 / 1.4142135623730951;

int16_t Clip(double v) { return int16_t(std::lround(std::clamp(v, -32768.0, 32767.0))); }

}  // namespace

std::vector<int16_t> Sine(double frequency, double peak, int samples, int rate) {
  return Sines({frequency}, peak, samples, rate);
}

std::vector<int16_t> Sines(const std::vector<double>& frequencies, double peak, int samples,
                           int rate) {
  std::vector<int16_t> out(static_cast<size_t>(samples));
  for (int n = 0; n < samples; ++n) {
    double v = 0;
    for (double f : frequencies) v += peak * std::sin(2 * kPi * f * n / rate);
    out[size_t(n)] = Clip(v);
  }
  return out;
}

std::vector<int16_t> Noise(double rms, int samples, uint32_t stream) {
  std::mt19937 rng(stream);
  std::normal_distribution<double> normal(0.0, rms);
  std::vector<int16_t> out(static_cast<size_t>(samples));
  for (auto& s : out) s = Clip(normal(rng));
  return out;
}

std::vector<int16_t> SpeechLike(double rms, int samples, uint32_t stream) {
  std::mt19937 rng(stream);
  std::normal_distribution<double> breath(0.0, 0.02);
  struct Resonator {
    double y1 = 0, y2 = 0;
    double Run(double x, double f, double bandwidth) {
      const double r = std::exp(-kPi * bandwidth / 8000.0);
      const double y = x + 2 * r * std::cos(2 * kPi * f / 8000.0) * y1 - r * r * y2;
      y2 = y1;
      y1 = y;
      return y * (1 - r);
    }
  } f1, f2, f3;
  std::vector<double> raw(static_cast<size_t>(samples));
  double phase = 0;
  for (int n = 0; n < samples; ++n) {
    const double t = n / 8000.0;
    const double pitch = 140 + 40 * std::sin(2 * kPi * 1.3 * t);
    phase += pitch / 8000.0;
    double excitation = 0;
    if (phase >= 1) {
      phase -= 1;
      excitation = 1;
    }
    excitation += breath(rng);
    const double v = f1.Run(excitation, 500 + 200 * std::sin(2 * kPi * 2.1 * t), 80) +
                     f2.Run(excitation, 1500 + 400 * std::sin(2 * kPi * 1.7 * t), 120) +
                     0.5 * f3.Run(excitation, 2500, 200);
    const double envelope = 0.35 + 0.65 * std::pow(std::sin(kPi * 4.0 * t), 2);
    raw[size_t(n)] = v * envelope;
  }
  double sum = 0;
  for (double v : raw) sum += v * v;
  const double scale = sum > 0 ? rms / std::sqrt(sum / samples) : 0;
  std::vector<int16_t> out(static_cast<size_t>(samples));
  for (int n = 0; n < samples; ++n) out[size_t(n)] = Clip(raw[size_t(n)] * scale);
  return out;
}

double Rms(const int16_t* samples, int count) {
  double sum = 0;
  for (int i = 0; i < count; ++i) sum += double(samples[i]) * samples[i];
  return count > 0 ? std::sqrt(sum / count) : 0;
}

double DbFs(double rms) { return 20 * std::log10(rms / kFullScaleSineRms); }
double RmsForDbFs(double dbfs) { return kFullScaleSineRms * std::pow(10.0, dbfs / 20); }

double DominantFrequency(const int16_t* samples, int count, double lo, double hi, double step,
                         int rate) {
  double best = lo, bestPower = -1;
  for (double f = lo; f <= hi; f += step) {
    const double coefficient = 2 * std::cos(2 * kPi * f / rate);
    double s1 = 0, s2 = 0;
    for (int i = 0; i < count; ++i) {
      const double s0 = samples[i] + coefficient * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    if (power > bestPower) {
      bestPower = power;
      best = f;
    }
  }
  return best;
}

}  // namespace qv::test
