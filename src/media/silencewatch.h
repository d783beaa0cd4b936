// The silence watch's decision for one received 20 ms frame.
//
// The setting (SilenceThreshold) has always been compared with the largest
// power of the DTMF detector's eighteen bins: a sine of amplitude A (1.0 =
// full scale) at a bin's frequency shows a power of 6400 A^2. Those bins
// cover a few narrow bands, so speech or a tone between them looked silent at
// any level. The watch therefore also measures the frame's whole-band power on
// the same scale (12800 times the mean square, which gives the same 6400 A^2
// for that sine at any frequency), and a frame is silent only when the
// threshold lies above both. A threshold a user chose keeps its meaning: the
// level of a sine below which a frame counts as silence.
//
// On that scale (dBFS: RMS against a full-scale sine) -35 dBFS reads 2.0 and
// -60 dBFS 0.0064. The default, 1 (a frame at about -38 dBFS), is the only
// whole number between: speech at -35 dBFS has many frames far above it
// within any five seconds, and line noise at -60 dBFS never comes near it
// (the tests measure both). Pure functions, any thread.
#pragma once

#include <cstdint>

namespace qv {

// 12800 x the mean of (sample / 32768)^2 over 160 samples.
double WholeBandPower(const int16_t* frame160);

// `frame160`: the decoded frame; `detectorInput`: the same frame as the DTMF
// detector reads it (PcmToDetectorInput).
bool IsSilentFrame(const int16_t* frame160, const uint8_t* detectorInput, int threshold);

}  // namespace qv
