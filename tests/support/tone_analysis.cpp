#include "support/tone_analysis.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <stdexcept>

namespace qv::test {

std::vector<int16_t> MakeTone(double frequency, double amplitude, size_t count, int rate,
                              size_t start) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i)
    samples[i] = int16_t(std::lround(
        amplitude * std::sin(2 * std::numbers::pi * frequency * double(start + i) / rate)));
  return samples;
}

double ToneAmplitude(const int16_t* samples, size_t count, double frequency, int rate) {
  if (count == 0) return 0;
  // Correlation with a Hann-windowed sine and cosine; the window keeps a
  // strong neighbour from leaking into a weak component.
  double re = 0, im = 0, weight = 0;
  for (size_t i = 0; i < count; ++i) {
    double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(count));
    double phase = 2 * std::numbers::pi * frequency * double(i) / rate;
    re += w * samples[i] * std::cos(phase);
    im += w * samples[i] * std::sin(phase);
    weight += w;
  }
  return 2 * std::hypot(re, im) / weight;
}

double DominantFrequency(const int16_t* samples, size_t count, int rate, double from, double to) {
  if (to <= 0) to = rate / 2.0 - 50;
  auto best = [&](double lo, double hi, double step) {
    double bestFrequency = lo, bestAmplitude = -1;
    for (double f = lo; f <= hi; f += step) {
      double a = ToneAmplitude(samples, count, f, rate);
      if (a > bestAmplitude) bestAmplitude = a, bestFrequency = f;
    }
    return bestFrequency;
  };
  double coarse = best(from, to, 5);
  double fine = best(coarse - 5, coarse + 5, 0.5);
  return best(fine - 0.5, fine + 0.5, 0.05);
}

double Rms(const int16_t* samples, size_t count) {
  if (count == 0) return 0;
  double sum = 0;
  for (size_t i = 0; i < count; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / double(count));
}

std::string SampleBytes(const std::vector<int16_t>& samples) {
  std::string bytes;
  for (int16_t s : samples) {
    bytes.push_back(char(uint16_t(s) & 0xFF));
    bytes.push_back(char(uint16_t(s) >> 8));
  }
  return bytes;
}

std::vector<int16_t> BytesSamples(std::string_view bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = int16_t(uint16_t(uint8_t(bytes[2 * i]) | uint8_t(bytes[2 * i + 1]) << 8));
  return samples;
}

namespace {

void Put(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(char((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::string Chunk(std::string_view id, std::string_view body, bool pad) {
  std::string chunk(id);
  Put(chunk, uint32_t(body.size()), 4);
  chunk.append(body);
  if (pad && body.size() % 2 == 1) chunk.push_back('\0');
  return chunk;
}

std::string MakeWavFormat(int tag, int channels, int rate, int bits, std::string_view data,
                          std::string_view fmtTail) {
  std::string fmt;
  Put(fmt, uint32_t(tag), 2);
  Put(fmt, uint32_t(channels), 2);
  Put(fmt, uint32_t(rate), 4);           // samples per second
  Put(fmt, uint32_t(rate * channels * bits / 8), 4);
  Put(fmt, uint32_t(channels * bits / 8), 2);  // block alignment
  Put(fmt, uint32_t(bits), 2);
  fmt += fmtTail;
  std::string body = "WAVE" + Chunk("fmt ", fmt) + Chunk("data", data);
  std::string file = "RIFF";
  Put(file, uint32_t(body.size()), 4);
  return file + body;
}

std::string MakeWav(int rate, int bits, std::string_view data, std::string_view extraChunks) {
  std::string fmt;
  Put(fmt, 1, 2);                        // PCM
  Put(fmt, 1, 2);                        // mono
  Put(fmt, uint32_t(rate), 4);           // samples per second
  Put(fmt, uint32_t(rate * bits / 8), 4);
  Put(fmt, uint32_t(bits / 8), 2);       // block alignment
  Put(fmt, uint32_t(bits), 2);
  std::string body = "WAVE" + Chunk("fmt ", fmt) + std::string(extraChunks) + Chunk("data", data);
  std::string file = "RIFF";
  Put(file, uint32_t(body.size()), 4);
  return file + body;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

TScratchDir::TScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qvtest-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TScratchDir::~TScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace qv::test
