// The virtual sound devices: in-process, paced by CLOCK_MONOTONIC, so that
// tests and headless machines get real-time buffer notifications without a
// sound card, can choose what the "microphone" captures and can read back what
// was "played".
//
// There are kVirtualDeviceCount inputs ("Virtual In 0"...) and as many outputs
// ("Virtual Out 0"...); device -1 is device 0 everywhere, in the functions below
// too. Every device accepts 16-bit PCM, 1 or 2 channels, 1000 to 192000 Hz;
// anything else fails with "Attempted to open with an unsupported
// waveform-audio format.".
//
// Capture: an input device may be open several times at once (two calls on the
// default microphone); each open device reads its own copy of the device's
// source from the start: silence (the initial source), a sine tone, PCM samples
// or a WAV file. A capture buffer is given back every buffer duration (320
// bytes at 8000 Hz mono: 20 ms), on absolute deadlines, so there is no drift.
//
// Playback: buffers are consumed at the real-time rate of their format and each
// is given back when its time has passed. What was played goes to the device's
// sink: a bounded memory ring (the most recent samples plus a running total) and,
// optionally, a WAV file. An output device may be open several times at once
// with the same format (it mixes them, as a sound card would); opening it in
// another format while it is open fails with "Specified resource is already
// allocated.". The sink takes the format of the first open after it was idle; a
// change of format empties the ring, and the WAV file keeps only the audio of the
// format it started with.
//
// Configuration by environment, read when the virtual backend is first used:
//   QUORVELLE_AUDIO_IN=silence|tone:HZ[:AMPLITUDE]|FILE.wav   source of device 0
//   QUORVELLE_AUDIO_OUT=FILE.wav                                sink file of device 0
//   QUORVELLE_AUDIO_IN_<n>, QUORVELLE_AUDIO_OUT_<n>             the same for device n
// A WAV file source loops, like a microphone that never ends.
//
// All functions below: any thread. Sources and sink files set here take effect
// for buffers handled afterwards, even on devices already open.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/audiodevice.h"

namespace qv {

constexpr int kVirtualDeviceCount = 8;

// The virtual backend (one per process).
IAudioBackendPtr VirtualAudioBackend();

namespace VirtualAudio {

// --- capture sources (per input device) ---
void SetInputSilence(int device);
// A sine of `hz` with peak `amplitude` (0..32767).
void SetInputTone(int device, double hz, int amplitude = 8000);
// Mono samples at `sampleRate`; converted to the rate of each open device by
// linear interpolation. `loop` false: silence after the last sample.
void SetInputPcm(int device, std::vector<int16_t> samples, uint32_t sampleRate, bool loop);
// A PCM WAV file (8 or 16 bits, any rate, mono or stereo: mixed down to mono and
// converted like SetInputPcm). Raises qv::Exception when the file cannot be read.
void SetInputFile(int device, const std::string& path, bool loop = true);
// "silence", "tone:HZ", "tone:HZ:AMPLITUDE" or a WAV file path. Raises on a
// malformed tone or an unreadable file.
void SetInputSource(int device, const std::string& source);

// The capture clock of `device` runs `factor` times as fast as real time
// (1.005: a sender whose clock is 0.5 % fast), from the next time a device
// starts recording. 0.5 to 2; 1 by default.
void SetInputRateFactor(int device, double factor);

// --- timing, for measuring delay through a call ---
using TTimePoint = std::chrono::steady_clock::time_point;
// When the frame at `position` of input `device`'s current source (0 = its
// first sample, counted at the device's rate) was captured. False when that
// frame was not captured yet, or so long ago that it is forgotten (about a
// minute of buffers is kept).
bool CaptureTime(int device, uint64_t position, TTimePoint& when);
// When the value `index` of output `device` (numbered as OutputSampleCount
// counts them) started playing; false when unknown.
bool PlayTime(int device, uint64_t index, TTimePoint& when);

// --- playback sinks (per output device) ---
// The most recent samples played (interleaved when stereo), oldest first.
std::vector<int16_t> OutputSamples(int device);
// Values played (interleaved values when stereo) since the last ClearOutput or
// change of format; the ring may hold fewer.
uint64_t OutputSampleCount(int device);
// Waits until OutputSampleCount(device) >= count or `timeoutMs` passed.
bool WaitOutputSamples(int device, uint64_t count, int timeoutMs);
TWaveFormat OutputFormat(int device);
void ClearOutput(int device);
// How many of the most recent samples the ring keeps (default 60 s at 48 kHz).
void SetOutputCapacity(int device, size_t samples);
// Also write what is played to `path` (created or truncated; its header is kept
// correct after every write and at process exit). "" closes the file.
// Raises qv::Exception when the file cannot be created.
void SetOutputFile(int device, const std::string& path);

// --- failure injection, for tests of the callers' error paths ---
// Opens of that device fail with the error `code` (a TWaveError) until set to 0.
void SetOpenError(bool input, int device, int code);

// Back to the initial state: every source silence, every ring empty, files
// closed, no injected error. Devices that are open stay open. The environment
// is not read again.
void ResetAll();

}  // namespace VirtualAudio
}  // namespace qv
