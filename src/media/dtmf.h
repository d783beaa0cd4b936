// DTMF: the digit table shared with RFC 2833 telephone events, and the
// Goertzel detector that finds digits (and one single tone) in received
// audio and tells silent frames apart.
//
// The detector works on 160 unsigned 8-bit samples with 128 as the zero
// level; PcmToDetectorInput makes them from a 16-bit frame. Pure functions,
// callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qv {

// Index = RFC 2833 event code = detector result.
constexpr char kDtmfDigits[] = "0123456789*#ABCD";
constexpr int kNoDtmfEvent = 100;

// "0"-"9" -> 0-9, "*" 10, "#" 11, "A"-"D" 12-15; anything else kNoDtmfEvent.
int DigitToEventCode(char digit);

// The row and column frequencies (Hz) of event codes 0-15; false for others.
bool DtmfFrequencies(int code, double& low, double& high);

constexpr int kGoertzelBins = 18;
constexpr int kDetectorSamples = 160;

// Bin frequencies in Hz (for tests and diagnostics) and their coefficients.
extern const std::array<double, kGoertzelBins> kGoertzelFrequencies;
extern const std::array<double, kGoertzelBins> kGoertzelCoefficients;

std::array<double, kGoertzelBins> GoertzelBank(const uint8_t* samples160);
// The largest of the 18 powers (0 for a frame at the zero level).
double MaxBinPower(const uint8_t* samples160);

// One character of kDtmfDigits, or "" when the frame holds no digit.
std::string DetectDigit(const uint8_t* samples160);

// True when `threshold` is strictly greater than the largest bin power.
bool IsSilent(const uint8_t* samples160, int threshold);

// 16-bit frame -> detector input: each sample becomes (sample >> 8) + 128.
void PcmToDetectorInput(const int16_t* samples, uint8_t* out160);

}  // namespace qv
