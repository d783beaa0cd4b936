// Audio helpers for media tests: tones, tone measurement, WAV building and a
// scratch directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv::test {

// `count` samples of a sine of `frequency` Hz, starting at sample `start` of
// the same endless tone (so consecutive calls join without a phase jump).
std::vector<int16_t> MakeTone(double frequency, double amplitude, size_t count, int rate,
                              size_t start = 0);

// Amplitude of the `frequency` component (a sine of amplitude A gives about A).
double ToneAmplitude(const int16_t* samples, size_t count, double frequency, int rate);

// Frequency between `from` and `to` Hz with the strongest component, to
// about a tenth of a hertz.
double DominantFrequency(const int16_t* samples, size_t count, int rate, double from = 50,
                         double to = 0);

double Rms(const int16_t* samples, size_t count);

// Little-endian 16-bit samples to bytes and back.
std::string SampleBytes(const std::vector<int16_t>& samples);
std::vector<int16_t> BytesSamples(std::string_view bytes);

// A RIFF WAVE file: "fmt " (PCM, mono), then `extraChunks` as given, then
// "data". `extraChunks` is raw chunk bytes (see Chunk).
std::string MakeWav(int rate, int bits, std::string_view data, std::string_view extraChunks = {});
// The same with any format: tag, channel count, and `fmtTail` appended to the
// 16 bytes of the format chunk (an extensible format's cbSize and the rest).
std::string MakeWavFormat(int tag, int channels, int rate, int bits, std::string_view data,
                          std::string_view fmtTail = {});
// One chunk: identifier, size, body, plus a pad byte after an odd body when `pad`.
std::string Chunk(std::string_view id, std::string_view body, bool pad = true);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view bytes);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TScratchDir {
public:
  TScratchDir();
  ~TScratchDir();
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
  std::string path_;
};

}  // namespace qv::test
