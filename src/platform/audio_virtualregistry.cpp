#include "platform/audio_virtualregistry.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <cstring>
#include <string>

#include "platform/textutil.h"

namespace qv {

// ---- sources ----

int16_t TSourceReader::Next(uint32_t rate) {
  const TVirtualSource* s = source_.get();
  uint64_t pos = position_++;
  if (!s) return 0;
  switch (s->Kind) {
    case TVirtualSource::KindSilence:
      return 0;
    case TVirtualSource::KindTone: {
      // Phase from the frame count, not accumulated, so it never drifts.
      double cycles = s->Hz * double(pos) / double(rate);
      double phase = cycles - std::floor(cycles);
      return int16_t(std::lround(s->Amplitude * std::sin(2 * std::numbers::pi * phase)));
    }
    case TVirtualSource::KindPcm: {
      const std::vector<int16_t>& v = s->Pcm.Samples;
      const uint64_t len = v.size();
      if (len == 0) return 0;
      // Linear interpolation: enough for a test microphone, and exact when the
      // rates agree.
      uint64_t num = pos * s->Pcm.SampleRate;
      uint64_t idx = num / rate;
      double frac = double(num % rate) / double(rate);
      if (s->Loop) {
        idx %= len;
      } else if (idx >= len) {
        return 0;
      }
      uint64_t next = idx + 1 < len ? idx + 1 : (s->Loop ? 0 : idx);
      return int16_t(std::lround(v[idx] + (v[next] - v[idx]) * frac));
    }
  }
  return 0;
}

void TSourceReader::Fill(int16_t* out, size_t frames, unsigned channels, uint32_t rate) {
  for (size_t f = 0; f < frames; ++f) {
    int16_t v = Next(rate);
    for (unsigned c = 0; c < channels; ++c) *out++ = v;
  }
}

// ---- time marks ----

void TTimeMarks::Add(const TTimeMark& mark) {
  if (mark.Count == 0) return;
  marks_.push_back(mark);
  if (marks_.size() > kKept) marks_.pop_front();
}

bool TTimeMarks::Find(uint64_t position, std::chrono::steady_clock::time_point& when) const {
  // Newest first: a position asked for is almost always recent.
  for (auto it = marks_.rbegin(); it != marks_.rend(); ++it) {
    if (position >= it->Start && position < it->Start + it->Count) {
      when = it->Time + std::chrono::nanoseconds(int64_t(double(position - it->Start) * 1e9 / it->Rate));
      return true;
    }
  }
  return false;
}

// ---- sinks ----

void TVirtualSink::Clear() {
  Ring.clear();
  RingStart = 0;
  CountBase = Committed;
}

void TVirtualSink::Commit() {
  uint64_t upTo = Committed + Pending.size();
  for (const auto& [device, cursor] : Cursors) upTo = std::min(upTo, cursor);
  size_t k = size_t(upTo - Committed);
  if (k == 0) return;
  for (size_t i = 0; i < k; ++i) {
    if (Capacity == 0) break;
    if (Ring.size() < Capacity) {
      Ring.push_back(Pending[i]);
    } else {
      Ring[RingStart] = Pending[i];
      RingStart = (RingStart + 1) % Capacity;
    }
  }
  if (File.IsOpen()) {
    // A file nothing was written to yet takes the format now playing.
    if (File.DataBytes() == 0 && !(File.Format() == Format)) File.Open(FilePath, Format);
    if (File.Format() == Format) File.Write(Pending.data(), k);
  }
  Pending.erase(Pending.begin(), Pending.begin() + k);
  Committed += k;
}

void TVirtualSink::Begin(const void* device) {
  // Joining at the end of what the others have played so far keeps two devices
  // that start together aligned (to within one buffer otherwise).
  Cursors[device] = Committed + Pending.size();
}

void TVirtualSink::Write(const void* device, const int16_t* values, size_t count) {
  auto it = Cursors.find(device);
  if (it == Cursors.end()) it = Cursors.emplace(device, Committed + Pending.size()).first;
  size_t idx = size_t(it->second - Committed);
  for (size_t i = 0; i < count; ++i, ++idx) {
    if (idx < Pending.size()) {
      int32_t sum = int32_t(Pending[idx]) + values[i];
      Pending[idx] = int16_t(std::clamp(sum, -32768, 32767));
    } else {
      Pending.push_back(values[i]);
    }
  }
  it->second += count;
  Commit();
}

uint64_t TVirtualSink::CursorOf(const void* device) const {
  auto it = Cursors.find(device);
  return it == Cursors.end() ? Committed + Pending.size() : it->second;
}

void TVirtualSink::Idle(const void* device) {
  Cursors.erase(device);
  Commit();
}

// ---- registry ----

int VirtualDeviceNumber(int device) {
  if (device == -1) return 0;
  if (device < 0 || device >= kVirtualDeviceCount) throw TWaveException(WaveErrBadDeviceId);
  return device;
}

namespace {

TVirtualSourcePtr ParseSource(const std::string& text) {
  auto src = std::make_shared<TVirtualSource>();
  if (text.empty() || text == "silence") return src;
  if (text.rfind("tone:", 0) == 0) {
    const char* p = text.c_str() + 5;
    char* end = nullptr;
    double hz = std::strtod(p, &end);
    long amplitude = 8000;
    bool bad = end == p || !std::isfinite(hz) || hz <= 0;
    if (!bad && *end == ':') {
      int value = 0;
      bad = !ParseInt(end + 1, value);
      amplitude = value;
      end += std::strlen(end);
    }
    if (bad || *end != '\0' || amplitude < 0 || amplitude > 32767)
      throw Exception("Bad tone source: " + text + " (tone:HZ or tone:HZ:AMPLITUDE)");
    src->Kind = TVirtualSource::KindTone;
    src->Hz = hz;
    src->Amplitude = int(amplitude);
    return src;
  }
  src->Kind = TVirtualSource::KindPcm;
  src->Pcm = ReadWavAsMono16(text);
  src->Loop = true;
  return src;
}

void CloseFilesAtExit() { TVirtualRegistry::Instance().CloseFiles(); }

}  // namespace

TVirtualRegistry& TVirtualRegistry::Instance() {
  // Never destroyed: backend threads of devices left open may still use it
  // while the process exits. Files are closed by the exit handler instead.
  static TVirtualRegistry* instance = [] {
    auto* r = new TVirtualRegistry;
    std::atexit(CloseFilesAtExit);
    return r;
  }();
  return *instance;
}

TVirtualRegistry::TVirtualRegistry() {
  for (auto& s : sources_) s = std::make_shared<TVirtualSource>();
  ReadEnvironment();
}

void TVirtualRegistry::ReadEnvironment() {
  // A bad setting must not stop the program: it is reported and the device
  // keeps its silence or its memory-only sink.
  for (int n = 0; n < kVirtualDeviceCount; ++n) {
    std::string suffix = "_" + std::to_string(n);
    const char* in = std::getenv(("QUORVELLE_AUDIO_IN" + suffix).c_str());
    if (!in && n == 0) in = std::getenv("QUORVELLE_AUDIO_IN");
    const char* out = std::getenv(("QUORVELLE_AUDIO_OUT" + suffix).c_str());
    if (!out && n == 0) out = std::getenv("QUORVELLE_AUDIO_OUT");
    // A device that will not open, for trying how a program copes without
    // its microphone or speaker.
    const char* inFails = std::getenv(("QUORVELLE_AUDIO_IN_FAILS" + suffix).c_str());
    const char* outFails = std::getenv(("QUORVELLE_AUDIO_OUT_FAILS" + suffix).c_str());
    if (inFails && *inFails == '1') inputErrors_[n] = WaveErrBadDeviceId;
    if (outFails && *outFails == '1') outputErrors_[n] = WaveErrBadDeviceId;
    try {
      if (in) SetSource(n, ParseSource(in));
      if (out) SetOutputFile(n, out);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "virtual audio device %d: %s\n", n, e.what());
    }
  }
}

int TVirtualRegistry::Attach(bool input, int device, const TWaveFormat& format) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  int injected = input ? inputErrors_[n] : outputErrors_[n];
  if (injected) throw TWaveException(injected);
  if (format.BitsPerSample != 16 || format.Channels < 1 || format.Channels > 2 ||
      format.SamplesPerSec < 1000 || format.SamplesPerSec > 192000)
    throw TWaveException(WaveErrBadFormat);
  if (!input) {
    TVirtualSink& sink = sinks_[n];
    if (sink.OpenCount > 0 && !(sink.Format == format)) throw TWaveException(WaveErrAllocated);
    if (sink.OpenCount == 0 && !(sink.Format == format)) {
      sink.Format = format;
      sink.Clear();
    }
    ++sink.OpenCount;
  }
  return n;
}

void TVirtualRegistry::Detach(bool input, int device) {
  if (input) return;
  std::lock_guard<std::mutex> lock(mutex_);
  --sinks_[device].OpenCount;
}

TVirtualSourcePtr TVirtualRegistry::SourceIfChanged(int device, uint64_t& generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (generation == generations_[device]) return nullptr;
  generation = generations_[device];
  return sources_[device];
}

void TVirtualRegistry::SetSource(int device, TVirtualSourcePtr source) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  sources_[n] = std::move(source);
  ++generations_[n];
  captured_[n].Clear();  // positions count from the new source's start
}

void TVirtualRegistry::SinkBegin(int device, const void* writer) {
  std::lock_guard<std::mutex> lock(mutex_);
  sinks_[device].Begin(writer);
}

void TVirtualRegistry::SinkWrite(int device, const void* writer, const int16_t* values, size_t count,
                                  std::chrono::steady_clock::time_point started, double rate) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    TVirtualSink& sink = sinks_[device];
    sink.Played.Add({sink.CursorOf(writer), count, started, rate});
    sink.Write(writer, values, count);
  }
  written_.notify_all();
}

void TVirtualRegistry::SinkIdle(int device, const void* writer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sinks_[device].Idle(writer);
  }
  written_.notify_all();
}

void TVirtualRegistry::MarkCaptured(int device, uint64_t position, uint64_t frames,
                                     std::chrono::steady_clock::time_point started, double rate) {
  std::lock_guard<std::mutex> lock(mutex_);
  captured_[device].Add({position, frames, started, rate});
}

double TVirtualRegistry::InputRateFactor(int device) {
  std::lock_guard<std::mutex> lock(mutex_);
  return rateFactors_[device];
}

void TVirtualRegistry::SetInputRateFactor(int device, double factor) {
  int n = VirtualDeviceNumber(device);
  if (!(factor >= 0.5 && factor <= 2)) throw Exception("Bad capture rate factor");
  std::lock_guard<std::mutex> lock(mutex_);
  rateFactors_[n] = factor;
}

bool TVirtualRegistry::CaptureTime(int device, uint64_t position, std::chrono::steady_clock::time_point& when) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  return captured_[n].Find(position, when);
}

bool TVirtualRegistry::PlayTime(int device, uint64_t index, std::chrono::steady_clock::time_point& when) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  return sinks_[n].Played.Find(sinks_[n].CountBase + index, when);
}

std::vector<int16_t> TVirtualRegistry::OutputSamples(int device) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  const TVirtualSink& s = sinks_[n];
  std::vector<int16_t> out;
  out.reserve(s.Ring.size());
  out.insert(out.end(), s.Ring.begin() + s.RingStart, s.Ring.end());
  out.insert(out.end(), s.Ring.begin(), s.Ring.begin() + s.RingStart);
  return out;
}

uint64_t TVirtualRegistry::OutputSampleCount(int device) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  return sinks_[n].Committed - sinks_[n].CountBase;
}

bool TVirtualRegistry::WaitOutputSamples(int device, uint64_t count, int timeoutMs) {
  int n = VirtualDeviceNumber(device);
  std::unique_lock<std::mutex> lock(mutex_);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  return written_.wait_until(lock, deadline, [&] { return sinks_[n].Committed - sinks_[n].CountBase >= count; });
}

TWaveFormat TVirtualRegistry::OutputFormat(int device) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  return sinks_[n].Format;
}

void TVirtualRegistry::ClearOutput(int device) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  sinks_[n].Clear();
}

void TVirtualRegistry::SetOutputCapacity(int device, size_t samples) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  sinks_[n].Capacity = samples;
  sinks_[n].Clear();
}

void TVirtualRegistry::SetOutputFile(int device, const std::string& path) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  TVirtualSink& s = sinks_[n];
  s.File.Close();
  s.FilePath = path;
  if (!path.empty()) s.File.Open(path, s.Format);
}

void TVirtualRegistry::SetOpenError(bool input, int device, int code) {
  int n = VirtualDeviceNumber(device);
  std::lock_guard<std::mutex> lock(mutex_);
  (input ? inputErrors_ : outputErrors_)[n] = code;
}

void TVirtualRegistry::ResetAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int n = 0; n < kVirtualDeviceCount; ++n) {
    sources_[n] = std::make_shared<TVirtualSource>();
    ++generations_[n];
    inputErrors_[n] = outputErrors_[n] = 0;
    rateFactors_[n] = 1;
    captured_[n].Clear();
    TVirtualSink& s = sinks_[n];
    s.Played.Clear();
    s.File.Close();
    s.FilePath.clear();
    s.Capacity = TVirtualSink().Capacity;
    s.Clear();
  }
}

void TVirtualRegistry::CloseFiles() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (TVirtualSink& s : sinks_) {
    s.File.Close();
    s.FilePath.clear();
  }
}

// ---- the public functions ----

namespace VirtualAudio {

void SetInputSilence(int device) { TVirtualRegistry::Instance().SetSource(device, ParseSource("silence")); }

void SetInputTone(int device, double hz, int amplitude) {
  if (!std::isfinite(hz) || hz <= 0 || amplitude < 0 || amplitude > 32767)
    throw Exception("Bad tone source");
  auto src = std::make_shared<TVirtualSource>();
  src->Kind = TVirtualSource::KindTone;
  src->Hz = hz;
  src->Amplitude = amplitude;
  TVirtualRegistry::Instance().SetSource(device, std::move(src));
}

void SetInputPcm(int device, std::vector<int16_t> samples, uint32_t sampleRate, bool loop) {
  if (sampleRate == 0) throw Exception("Bad PCM source: sample rate 0");
  auto src = std::make_shared<TVirtualSource>();
  src->Kind = TVirtualSource::KindPcm;
  src->Pcm.SampleRate = sampleRate;
  src->Pcm.Samples = std::move(samples);
  src->Loop = loop;
  TVirtualRegistry::Instance().SetSource(device, std::move(src));
}

void SetInputFile(int device, const std::string& path, bool loop) {
  TMonoPcm pcm = ReadWavAsMono16(path);
  SetInputPcm(device, std::move(pcm.Samples), pcm.SampleRate, loop);
}

void SetInputSource(int device, const std::string& source) {
  TVirtualRegistry::Instance().SetSource(device, ParseSource(source));
}

std::vector<int16_t> OutputSamples(int device) { return TVirtualRegistry::Instance().OutputSamples(device); }
uint64_t OutputSampleCount(int device) { return TVirtualRegistry::Instance().OutputSampleCount(device); }
bool WaitOutputSamples(int device, uint64_t count, int timeoutMs) {
  return TVirtualRegistry::Instance().WaitOutputSamples(device, count, timeoutMs);
}
TWaveFormat OutputFormat(int device) { return TVirtualRegistry::Instance().OutputFormat(device); }
void ClearOutput(int device) { TVirtualRegistry::Instance().ClearOutput(device); }
void SetOutputCapacity(int device, size_t samples) {
  TVirtualRegistry::Instance().SetOutputCapacity(device, samples);
}
void SetOutputFile(int device, const std::string& path) {
  TVirtualRegistry::Instance().SetOutputFile(device, path);
}
void SetInputRateFactor(int device, double factor) {
  TVirtualRegistry::Instance().SetInputRateFactor(device, factor);
}
bool CaptureTime(int device, uint64_t position, TTimePoint& when) {
  return TVirtualRegistry::Instance().CaptureTime(device, position, when);
}
bool PlayTime(int device, uint64_t index, TTimePoint& when) {
  return TVirtualRegistry::Instance().PlayTime(device, index, when);
}
void SetOpenError(bool input, int device, int code) {
  TVirtualRegistry::Instance().SetOpenError(input, device, code);
}
void ResetAll() { TVirtualRegistry::Instance().ResetAll(); }

}  // namespace VirtualAudio
}  // namespace qv
