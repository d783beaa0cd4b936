// The virtual devices: one pacing thread per open device. The thread sleeps
// until the absolute CLOCK_MONOTONIC deadline at which the buffer at the head of
// the queue is full (input) or played (output), then hands it back. Deadlines
// are computed from the number of frames since the timeline started, so late
// wake-ups never accumulate into drift.
//
// Everything the thread and the owner share is guarded by the device's mutex,
// and notifications are posted under it too: that keeps them in queue order
// even when Reset or Stop gives buffers back from the owner's thread.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/audio_virtual.h"
#include "platform/audio_virtualregistry.h"
#include "platform/messagequeue.h"
#include "platform/thread.h"

namespace qv {

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

class TVirtualDevice final : public IWaveDevice {
public:
  TVirtualDevice(bool input, int device, const TWaveFormat& format, TMessageQueue* queue)
      : input_(input), device_(device), format_(format), queue_(queue) {
    thread_ = std::thread([this] { Run(); });
  }
  ~TVirtualDevice() override { Close(); }

  void AddBuffer(TWaveHeader* header) override;
  void Start() override;
  void Stop() override;
  void Reset() override;
  void Close() override;
  bool IsInput() const override { return input_; }
  TWaveFormat Format() const override { return format_; }

private:
  void Run();
  void CheckOpen() const {
    if (closed_) throw Exception("The sound device is closed");
  }
  // A capture clock may run fast or slow (rateFactor_); playback keeps real time.
  Clock::time_point TimeOf(uint64_t frames) const {
    return t0_ + std::chrono::nanoseconds(int64_t(double(frames) * 1e9 / (format_.SamplesPerSec * rateFactor_)));
  }
  uint64_t FramesOf(const TWaveHeader* h) const { return h->BufferLength / format_.BlockAlign(); }
  // Frames of the head buffer that have been recorded or played by now.
  uint64_t ElapsedInHead(Clock::time_point now) const;
  // Record or play `frames` of it, the first of them at `started`.
  void Complete(TWaveHeader* h, uint64_t frames, Clock::time_point started);
  void GiveBack(TWaveHeader* h);
  void StopTimeline();
  void CutHead();  // the partial head buffer, at Stop or Reset

  const bool input_;
  const int device_;
  const TWaveFormat format_;
  TMessageQueue* const queue_;
  bool closed_ = false;  // owner thread only

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<TWaveHeader*> buffers_;
  bool recording_ = false;  // input: between Start and Stop/Reset
  bool quit_ = false;
  uint64_t epoch_ = 0;      // bumped whenever the owner changes the plan
  bool timeline_ = false;   // t0_ and frames_ are valid
  Clock::time_point t0_;
  uint64_t frames_ = 0;     // frames completed since t0_
  double rateFactor_ = 1;   // fixed while a timeline runs
  TSourceReader reader_;
  uint64_t sourceGeneration_ = 0;
  std::thread thread_;
};

void TVirtualDevice::AddBuffer(TWaveHeader* header) {
  CheckOpen();
  if (header->InQueue.load()) throw Exception("The buffer is still queued");
  if (header->BufferLength % format_.BlockAlign() != 0 || (header->BufferLength && !header->Data))
    throw Exception("Bad wave buffer");
  std::lock_guard<std::mutex> lock(mutex_);
  header->Done = false;
  header->InQueue = true;
  header->TimeNs = 0;
  if (input_) header->BytesRecorded = 0;
  buffers_.push_back(header);
  wake_.notify_all();
}

void TVirtualDevice::Start() {
  CheckOpen();
  if (!input_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  recording_ = true;
  wake_.notify_all();
}

void TVirtualDevice::Stop() {
  CheckOpen();
  if (!input_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  CutHead();
  recording_ = false;
  StopTimeline();
}

void TVirtualDevice::Reset() {
  CheckOpen();
  std::lock_guard<std::mutex> lock(mutex_);
  CutHead();
  while (!buffers_.empty()) {
    TWaveHeader* h = buffers_.front();
    buffers_.pop_front();
    GiveBack(h);
  }
  recording_ = false;
  StopTimeline();
}

void TVirtualDevice::Close() {
  if (closed_) return;
  Reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    wake_.notify_all();
  }
  thread_.join();
  TVirtualRegistry::Instance().Detach(input_, device_);
  closed_ = true;
}

uint64_t TVirtualDevice::ElapsedInHead(Clock::time_point now) const {
  if (!timeline_ || buffers_.empty() || (input_ && !recording_) || now <= TimeOf(frames_)) return 0;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - t0_).count();
  uint64_t done = uint64_t(double(ns) * format_.SamplesPerSec * rateFactor_ / 1e9);
  uint64_t n = done > frames_ ? done - frames_ : 0;
  uint64_t len = FramesOf(buffers_.front());
  return n < len ? n : len;
}

void TVirtualDevice::CutHead() {
  uint64_t n = ElapsedInHead(Clock::now());
  if (n == 0) return;
  TWaveHeader* h = buffers_.front();
  buffers_.pop_front();
  Complete(h, n, TimeOf(frames_));
  GiveBack(h);
}

void TVirtualDevice::Complete(TWaveHeader* h, uint64_t frames, Clock::time_point started) {
  auto* pcm = reinterpret_cast<int16_t*>(h->Data);
  size_t values = size_t(frames) * format_.Channels;
  h->TimeNs = std::chrono::duration_cast<std::chrono::nanoseconds>(started.time_since_epoch()).count();
  TVirtualRegistry& registry = TVirtualRegistry::Instance();
  if (input_) {
    if (TVirtualSourcePtr changed = registry.SourceIfChanged(device_, sourceGeneration_))
      reader_.Reset(std::move(changed));
    registry.MarkCaptured(device_, reader_.Position(), frames, started, format_.SamplesPerSec * rateFactor_);
    reader_.Fill(pcm, size_t(frames), format_.Channels, format_.SamplesPerSec);
    registry.AddEcho(device_, pcm, frames, format_.Channels, started, format_.SamplesPerSec * rateFactor_);
    h->BytesRecorded = uint32_t(frames * format_.BlockAlign());
  } else {
    registry.SinkWrite(device_, this, pcm, values, started, double(format_.SamplesPerSec) * format_.Channels);
  }
}

void TVirtualDevice::GiveBack(TWaveHeader* h) {
  h->Done = true;
  h->InQueue = false;
  if (queue_)
    queue_->Post(input_ ? MsgWaveInData : MsgWaveOutDone, reinterpret_cast<uintptr_t>(this),
                 reinterpret_cast<intptr_t>(h));
}

void TVirtualDevice::StopTimeline() {
  if (timeline_ && !input_) TVirtualRegistry::Instance().SinkIdle(device_, this);
  timeline_ = false;
  ++epoch_;
  wake_.notify_all();
}

void TVirtualDevice::Run() {
  SetThreadName(input_ ? "qv-vaudio-in" : "qv-vaudio-out");
  // As a sound card's interrupt would: a busy machine must not make the
  // virtual devices late, or calls on them measure the machine, not the call.
  SetTimeCriticalPriority();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    if (buffers_.empty() || (input_ && !recording_)) {
      // Nothing to time: an output that runs dry starts a new timeline with
      // its next buffer, as a sound card that underran plays it at once.
      if (timeline_) StopTimeline();
      wake_.wait(lock);
      continue;
    }
    if (!timeline_) {
      t0_ = Clock::now();
      frames_ = 0;
      timeline_ = true;
      rateFactor_ = input_ ? TVirtualRegistry::Instance().InputRateFactor(device_) : 1.0;
      if (!input_) TVirtualRegistry::Instance().SinkBegin(device_, this);
    }
    TWaveHeader* h = buffers_.front();
    uint64_t n = FramesOf(h);
    uint64_t epoch = epoch_;
    if (wake_.wait_until(lock, TimeOf(frames_ + n), [&] { return quit_ || epoch_ != epoch; }))
      continue;  // the owner changed the plan (Stop, Reset, Close): look again
    buffers_.pop_front();
    Complete(h, n, TimeOf(frames_));
    GiveBack(h);
    frames_ += n;
    // Keep the frame count small so that the time of a frame stays exact.
    if (frames_ >= format_.SamplesPerSec) {
      const uint64_t whole = frames_ / format_.SamplesPerSec * format_.SamplesPerSec;
      t0_ = TimeOf(whole);
      frames_ -= whole;
    }
  }
}

class TVirtualBackend final : public IAudioBackend {
public:
  std::string Name() const override { return "virtual"; }
  std::vector<std::string> InputDeviceNames() override { return Names("Virtual In "); }
  std::vector<std::string> OutputDeviceNames() override { return Names("Virtual Out "); }
  IWaveDevicePtr Open(bool input, int device, const TWaveFormat& format, TMessageQueue* queue) override {
    int n = TVirtualRegistry::Instance().Attach(input, device, format);
    try {
      return std::make_unique<TVirtualDevice>(input, n, format, queue);
    } catch (...) {
      TVirtualRegistry::Instance().Detach(input, n);
      throw TWaveException(WaveErrNoMem);
    }
  }

private:
  static std::vector<std::string> Names(const char* prefix) {
    std::vector<std::string> names;
    for (int i = 0; i < kVirtualDeviceCount; ++i) names.push_back(prefix + std::to_string(i));
    return names;
  }
};

}  // namespace

IAudioBackendPtr VirtualAudioBackend() {
  static IAudioBackendPtr backend = std::make_shared<TVirtualBackend>();
  return backend;
}

}  // namespace qv
