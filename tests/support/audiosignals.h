// Test signals and simple measurements for the media tests.
#pragma once

#include <cstdint>
#include <vector>

namespace qv::test {

// A sine of `peak` amplitude at `frequency` Hz, starting at phase 0.
std::vector<int16_t> Sine(double frequency, double peak, int samples, int rate = 8000);

// The sum of two or more sines of equal peak amplitude.
std::vector<int16_t> Sines(const std::vector<double>& frequencies, double peak, int samples,
                           int rate = 8000);

// Gaussian white noise with the given RMS (the same for the same stream number).
std::vector<int16_t> Noise(double rms, int samples, uint32_t stream = 1);

// A voiced, speech-like signal: a glottal pulse train whose pitch glides
// between 100 and 180 Hz through three slowly moving formant resonators,
// with syllable-rate loudness changes and a little breath noise. Scaled so
// that its RMS equals `rms`.
std::vector<int16_t> SpeechLike(double rms, int samples, uint32_t stream = 1);

// RMS of 16-bit samples and the level of a full-scale sine (23170.5) in dB.
double Rms(const int16_t* samples, int count);
double DbFs(double rms);
double RmsForDbFs(double dbfs);

// The frequency (in `step` Hz steps between lo and hi) with the most energy.
double DominantFrequency(const int16_t* samples, int count, double lo, double hi,
                         double step = 5.0, int rate = 8000);

}  // namespace qv::test
