// Inside the virtual sound devices: the per-device sources and sinks that the
// open devices read and write, and the readers that turn a source into samples.
// Only audio_virtual*.cpp include this.
//
// Lock order: a device's own mutex, then the registry's. The registry never
// calls a device.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/audio_virtual.h"
#include "platform/audio_wavfile.h"

namespace qv {

// What an input device captures. Immutable once built, shared by every open
// device reading it.
struct TVirtualSource {
  enum TKind { KindSilence, KindTone, KindPcm } Kind = KindSilence;
  double Hz = 0;
  int Amplitude = 0;
  TMonoPcm Pcm;
  bool Loop = true;
};
using TVirtualSourcePtr = std::shared_ptr<const TVirtualSource>;

// One open input device's position in its source.
class TSourceReader {
public:
  void Reset(TVirtualSourcePtr source) {
    source_ = std::move(source);
    position_ = 0;
  }
  // Writes `frames` frames of `channels` interleaved 16-bit values at `rate`.
  void Fill(int16_t* out, size_t frames, unsigned channels, uint32_t rate);
  uint64_t Position() const { return position_; }

private:
  int16_t Next(uint32_t rate);

  TVirtualSourcePtr source_;
  uint64_t position_ = 0;  // output frames produced from this source so far
};

// When a run of frames began (captured or played): a buffer's worth each.
struct TTimeMark {
  uint64_t Start = 0;   // source position (input) or absolute value index (output)
  uint64_t Count = 0;   // frames (input) or values (output) in the run
  std::chrono::steady_clock::time_point Time;
  double Rate = 8000;   // frames or values per second of real time
};

// A bounded list of marks and the lookup of one position in it.
class TTimeMarks {
public:
  void Add(const TTimeMark& mark);
  bool Find(uint64_t position, std::chrono::steady_clock::time_point& when) const;
  void Clear() { marks_.clear(); }

private:
  static constexpr size_t kKept = 4096;  // 80 s of 20 ms buffers
  std::deque<TTimeMark> marks_;
};

// One output device's memory of what was played.
struct TVirtualSink {
  TWaveFormat Format;
  int OpenCount = 0;
  size_t Capacity = 60 * 48000;
  std::vector<int16_t> Ring;  // grows to Capacity, then wraps at RingStart
  size_t RingStart = 0;
  uint64_t Committed = 0;     // values final since the sink was made
  uint64_t CountBase = 0;     // Committed at the last clear
  // Mixing window: values that a device still playing may add to. Cursors are
  // absolute value indices of the devices currently playing.
  std::vector<int16_t> Pending;
  std::map<const void*, uint64_t> Cursors;
  TWavWriter File;
  std::string FilePath;
  TTimeMarks Played;          // by absolute value index

  void Clear();
  void Commit();  // moves what no playing device can still change to ring and file
  void Begin(const void* device);  // a device starts playing: it joins at the end
  void Write(const void* device, const int16_t* values, size_t count);
  // Where the next Write of `device` lands (absolute value index).
  uint64_t CursorOf(const void* device) const;
  void Idle(const void* device);
};

class TVirtualRegistry {
public:
  static TVirtualRegistry& Instance();

  // Open and close: raise TWaveException for a bad number, a format the
  // devices do not take, an injected error or a busy output.
  int Attach(bool input, int device, const TWaveFormat& format);  // returns the real number
  void Detach(bool input, int device);

  // The source of `device` when it changed since `generation` (nullptr otherwise).
  TVirtualSourcePtr SourceIfChanged(int device, uint64_t& generation);
  void SetSource(int device, TVirtualSourcePtr source);

  void SinkBegin(int device, const void* writer);
  // `started`: when the first of the values began playing; `rate`: values per second.
  void SinkWrite(int device, const void* writer, const int16_t* values, size_t count,
                 std::chrono::steady_clock::time_point started, double rate);
  // A capture buffer: source frames [position, position + frames) began at `started`.
  void MarkCaptured(int device, uint64_t position, uint64_t frames,
                    std::chrono::steady_clock::time_point started, double rate);
  double InputRateFactor(int device);
  void SetInputRateFactor(int device, double factor);
  bool CaptureTime(int device, uint64_t position, std::chrono::steady_clock::time_point& when);
  bool PlayTime(int device, uint64_t index, std::chrono::steady_clock::time_point& when);
  void SinkIdle(int device, const void* writer);

  // The VirtualAudio functions.
  std::vector<int16_t> OutputSamples(int device);
  uint64_t OutputSampleCount(int device);
  bool WaitOutputSamples(int device, uint64_t count, int timeoutMs);
  TWaveFormat OutputFormat(int device);
  void ClearOutput(int device);
  void SetOutputCapacity(int device, size_t samples);
  void SetOutputFile(int device, const std::string& path);
  void SetOpenError(bool input, int device, int code);
  void ResetAll();
  void CloseFiles();  // at process exit

private:
  TVirtualRegistry();
  void ReadEnvironment();

  std::mutex mutex_;
  std::condition_variable written_;
  TVirtualSourcePtr sources_[kVirtualDeviceCount];
  uint64_t generations_[kVirtualDeviceCount] = {};
  int inputErrors_[kVirtualDeviceCount] = {};
  double rateFactors_[kVirtualDeviceCount] = {1, 1, 1, 1, 1, 1, 1, 1};
  TTimeMarks captured_[kVirtualDeviceCount];
  int outputErrors_[kVirtualDeviceCount] = {};
  TVirtualSink sinks_[kVirtualDeviceCount];
};

// -1 (the default device) is device 0; raises "out of range" otherwise.
int VirtualDeviceNumber(int device);

}  // namespace qv
