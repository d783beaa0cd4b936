// PortAudio devices in wave-in/wave-out terms.
//
// PortAudio calls us on its real-time thread with blocks of its own size; we
// copy between those blocks and the owner's buffers. The callback neither
// allocates, nor locks, nor logs: buffers reach it through a lock-free
// single-producer queue (owner -> callback) and leave it through another
// (callback -> notifier), and a semaphore post (async-signal-safe, never
// blocks) wakes our notifier thread, which posts the owner's messages.
//
// Reset and Stop first stop the stream (PortAudio returns once the callback
// has finished), so the owner's thread may then take over the callback's side
// of the queues; the notifier mutex keeps the order of the notifications when
// the owner gives buffers back while the notifier is still posting.
#include "platform/audio_portaudio.h"

#include <alsa/asoundlib.h>
#include <portaudio.h>
#include <semaphore.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/messagequeue.h"
#include "platform/thread.h"

namespace qv {

namespace {

// Fixed-capacity single-producer single-consumer queue of header pointers.
class THeaderRing {
public:
  static constexpr size_t kCapacity = 64;

  bool Push(TWaveHeader* h) {
    size_t tail = tail_.load(std::memory_order_relaxed);
    size_t next = (tail + 1) % (kCapacity + 1);
    if (next == head_.load(std::memory_order_acquire)) return false;
    slots_[tail] = h;
    tail_.store(next, std::memory_order_release);
    return true;
  }
  TWaveHeader* Pop() {
    size_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return nullptr;
    TWaveHeader* h = slots_[head];
    head_.store((head + 1) % (kCapacity + 1), std::memory_order_release);
    return h;
  }

private:
  std::array<TWaveHeader*, kCapacity + 1> slots_{};
  std::atomic<size_t> head_{0}, tail_{0};
};

int WaveCodeOf(PaError err) {
  switch (err) {
    case paInvalidDevice: return WaveErrBadDeviceId;
    case paDeviceUnavailable: return WaveErrAllocated;
    case paInsufficientMemory: return WaveErrNoMem;
    case paInvalidSampleRate:
    case paSampleFormatNotSupported:
    case paInvalidChannelCount:
    case paBadIODeviceCombination: return WaveErrBadFormat;
    case paNotInitialized:
    case paHostApiNotFound:
    case paInvalidHostApi: return WaveErrNoDriver;
    default: return WaveErrError;
  }
}

class TPaDevice final : public IWaveDevice {
public:
  TPaDevice(bool input, const TWaveFormat& format, TMessageQueue* queue)
      : input_(input), format_(format), queue_(queue) {
    sem_init(&ready_, 0, 0);
  }
  ~TPaDevice() override {
    Close();
    sem_destroy(&ready_);
  }

  // Opens the stream and starts the notifier; raises TWaveException.
  void Open(const PaStreamParameters& params);

  void AddBuffer(TWaveHeader* header) override;
  void Start() override;
  void Stop() override;
  void Reset() override;
  void Close() override;
  bool IsInput() const override { return input_; }
  TWaveFormat Format() const override { return format_; }

private:
  static int Callback(const void* in, void* out, unsigned long frames, const PaStreamCallbackTimeInfo*,
                      PaStreamCallbackFlags, void* self);
  void Transfer(const uint8_t* in, uint8_t* out, size_t bytes);  // real-time thread
  void Notifier();
  void DrainDone();                 // under notifyMutex_
  void GiveBack(TWaveHeader* h);    // under notifyMutex_
  void Halt(bool abort);            // stop the stream; the callback is idle afterwards
  void CheckOpen() const {
    if (!stream_) throw Exception("The sound device is closed");
  }

  const bool input_;
  const TWaveFormat format_;
  TMessageQueue* const queue_;
  PaStream* stream_ = nullptr;
  bool running_ = false;            // owner thread only

  THeaderRing pending_;             // owner -> callback
  THeaderRing done_;                // callback -> notifier
  std::atomic<int> inFlight_{0};    // headers in either ring or in hand: bounds both rings
  // The callback's buffer in hand; the owner touches them only while the
  // stream is stopped.
  TWaveHeader* current_ = nullptr;
  uint32_t offset_ = 0;

  sem_t ready_;
  std::atomic<bool> quit_{false};
  std::mutex notifyMutex_;
  std::thread notifier_;
};

void TPaDevice::Open(const PaStreamParameters& params) {
  PaError err = Pa_IsFormatSupported(input_ ? &params : nullptr, input_ ? nullptr : &params,
                                     format_.SamplesPerSec);
  if (err == paFormatIsSupported)
    err = Pa_OpenStream(&stream_, input_ ? &params : nullptr, input_ ? nullptr : &params,
                        format_.SamplesPerSec, paFramesPerBufferUnspecified, paClipOff, &TPaDevice::Callback,
                        this);
  if (err != paNoError) {
    stream_ = nullptr;
    throw TWaveException(WaveCodeOf(err));
  }
  notifier_ = std::thread([this] { Notifier(); });
}

int TPaDevice::Callback(const void* in, void* out, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* self) {
  auto* d = static_cast<TPaDevice*>(self);
  d->Transfer(static_cast<const uint8_t*>(in), static_cast<uint8_t*>(out), frames * d->format_.BlockAlign());
  return paContinue;
}

void TPaDevice::Transfer(const uint8_t* in, uint8_t* out, size_t bytes) {
  bool completed = false;
  while (bytes > 0 || (current_ && offset_ == current_->BufferLength)) {
    if (!current_) {
      current_ = pending_.Pop();
      offset_ = 0;
      if (!current_) break;
    }
    size_t k = std::min<size_t>(bytes, current_->BufferLength - offset_);
    if (input_) {
      if (in)
        std::memcpy(current_->Data + offset_, in, k);
      else
        std::memset(current_->Data + offset_, format_.BitsPerSample == 8 ? 0x80 : 0, k);
      if (in) in += k;
    } else {
      std::memcpy(out, current_->Data + offset_, k);
      out += k;
    }
    offset_ += uint32_t(k);
    bytes -= k;
    if (offset_ == current_->BufferLength) {
      if (input_) current_->BytesRecorded = offset_;
      done_.Push(current_);  // cannot fail: inFlight_ bounds it
      current_ = nullptr;
      completed = true;
    }
  }
  // Nothing queued: an input drops the sound, an output plays silence.
  if (!input_ && bytes > 0) std::memset(out, format_.BitsPerSample == 8 ? 0x80 : 0, bytes);
  if (completed) sem_post(&ready_);
}

void TPaDevice::Notifier() {
  SetThreadName("qv-pa-notify");
  for (;;) {
    while (sem_wait(&ready_) != 0 && errno == EINTR) {
    }
    if (quit_.load()) return;
    std::lock_guard<std::mutex> lock(notifyMutex_);
    DrainDone();
  }
}

void TPaDevice::DrainDone() {
  while (TWaveHeader* h = done_.Pop()) GiveBack(h);
}

void TPaDevice::GiveBack(TWaveHeader* h) {
  h->Done = true;
  h->InQueue = false;
  inFlight_.fetch_sub(1);
  if (queue_)
    queue_->Post(input_ ? MsgWaveInData : MsgWaveOutDone, reinterpret_cast<uintptr_t>(this),
                 reinterpret_cast<intptr_t>(h));
}

void TPaDevice::AddBuffer(TWaveHeader* header) {
  CheckOpen();
  if (header->InQueue.load()) throw Exception("The buffer is still queued");
  if (header->BufferLength % format_.BlockAlign() != 0 || (header->BufferLength && !header->Data))
    throw Exception("Bad wave buffer");
  if (inFlight_.load() >= int(THeaderRing::kCapacity)) throw TWaveException(WaveErrNoMem);
  header->Done = false;
  header->InQueue = true;
  if (input_) header->BytesRecorded = 0;
  inFlight_.fetch_add(1);
  pending_.Push(header);
  if (!input_ && !running_) {
    PaError err = Pa_StartStream(stream_);
    if (err != paNoError) throw Exception(Pa_GetErrorText(err));
    running_ = true;
  }
}

void TPaDevice::Start() {
  CheckOpen();
  if (!input_ || running_) return;
  PaError err = Pa_StartStream(stream_);
  if (err != paNoError) throw Exception(Pa_GetErrorText(err));
  running_ = true;
}

void TPaDevice::Halt(bool abort) {
  if (!running_) return;
  // Abort drops what the host still holds (the sound stops at once); Stop lets
  // it finish. Either returns only once the callback is done.
  if (abort)
    Pa_AbortStream(stream_);
  else
    Pa_StopStream(stream_);
  running_ = false;
}

void TPaDevice::Stop() {
  CheckOpen();
  if (!input_) return;
  Halt(false);
  std::lock_guard<std::mutex> lock(notifyMutex_);
  DrainDone();
  if (current_ && offset_ > 0) {
    current_->BytesRecorded = offset_;
    GiveBack(current_);
    current_ = nullptr;
  }
}

void TPaDevice::Reset() {
  CheckOpen();
  Halt(true);
  std::lock_guard<std::mutex> lock(notifyMutex_);
  DrainDone();
  if (current_) {
    if (input_) current_->BytesRecorded = offset_;
    GiveBack(current_);
    current_ = nullptr;
  }
  while (TWaveHeader* h = pending_.Pop()) GiveBack(h);
}

void TPaDevice::Close() {
  if (!stream_) return;
  Reset();
  Pa_CloseStream(stream_);
  stream_ = nullptr;
  quit_ = true;
  sem_post(&ready_);
  notifier_.join();
}

// ALSA reports every PCM it probes on stderr while PortAudio looks for devices;
// on a machine without a sound card that is a page of noise for nothing.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

class TPaBackend final : public IAudioBackend {
public:
  TPaBackend() {
    snd_lib_error_set_handler(&QuietAlsa);
    ok_ = Pa_Initialize() == paNoError;
    snd_lib_error_set_handler(nullptr);
    if (!ok_) return;
    for (PaDeviceIndex i = 0, n = Pa_GetDeviceCount(); i < n; ++i) {
      const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
      if (!info) continue;
      if (info->maxInputChannels > 0) inputs_.push_back({i, info->name});
      if (info->maxOutputChannels > 0) outputs_.push_back({i, info->name});
    }
  }
  // PortAudio stays initialised for the life of the process: devices may be
  // open on other threads while it exits.

  std::string Name() const override { return "portaudio"; }
  std::vector<std::string> InputDeviceNames() override { return Names(inputs_); }
  std::vector<std::string> OutputDeviceNames() override { return Names(outputs_); }

  IWaveDevicePtr Open(bool input, int device, const TWaveFormat& format, TMessageQueue* queue) override {
    const auto& list = input ? inputs_ : outputs_;
    if (!ok_ || list.empty()) throw TWaveException(WaveErrNoDriver);
    if (device < -1 || device >= int(list.size())) throw TWaveException(WaveErrBadDeviceId);
    PaDeviceIndex index = device >= 0 ? list[size_t(device)].Index
                                      : (input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice());
    if (index == paNoDevice) throw TWaveException(WaveErrNoDriver);
    if (format.BitsPerSample != 8 && format.BitsPerSample != 16) throw TWaveException(WaveErrBadFormat);
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    PaStreamParameters params{};
    params.device = index;
    params.channelCount = format.Channels;
    // 8-bit WAV samples are unsigned, as PortAudio's paUInt8.
    params.sampleFormat = format.BitsPerSample == 8 ? paUInt8 : paInt16;
    params.suggestedLatency = info ? (input ? info->defaultLowInputLatency : info->defaultLowOutputLatency) : 0.05;
    auto dev = std::make_unique<TPaDevice>(input, format, queue);
    dev->Open(params);
    return dev;
  }

private:
  struct TEntry {
    PaDeviceIndex Index;
    std::string Name;
  };
  static std::vector<std::string> Names(const std::vector<TEntry>& list) {
    std::vector<std::string> names;
    for (const TEntry& e : list) names.push_back(e.Name);
    return names;
  }

  bool ok_ = false;
  std::vector<TEntry> inputs_, outputs_;
};

}  // namespace

IAudioBackendPtr PortAudioBackend() {
  static IAudioBackendPtr backend = std::make_shared<TPaBackend>();
  return backend;
}

}  // namespace qv
