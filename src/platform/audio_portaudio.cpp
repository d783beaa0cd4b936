// PortAudio devices in wave-in/wave-out terms.
//
// A stream is opened at the device's own rate (its default rate: most USB
// headsets and hardware reached without a sound server have no 8 kHz mode)
// and, failing that, at the rate asked for or a common one; mono where the
// device takes it, else two channels. Between the stream and the owner's
// buffers the speexdsp resampler converts the rate and the channels are mixed
// down or copied, inside the callback, so the owner always sees the format it
// asked for.
//
// PortAudio calls us on its real-time thread with blocks of its own size; we
// copy between those blocks and the owner's buffers. The callback neither
// allocates, nor locks, nor logs: buffers reach it through a lock-free
// single-producer queue (owner -> callback) and leave it through another
// (callback -> notifier), and a semaphore post (async-signal-safe, never
// blocks) wakes our notifier thread, which posts the owner's messages.
//
// Each buffer given back carries the time its first sample met the converter
// (TWaveHeader::TimeNs), counted in frames of the stream from its start
// (TStreamClock), so that the times of one sound card's input and output
// move together and a buffer that waited for a late owner carries the later
// time.
//
// Reset and Stop first stop the stream (PortAudio returns once the callback
// has finished), so the owner's thread may then take over the callback's side
// of the queues; the notifier mutex keeps the order of the notifications when
// the owner gives buffers back while the notifier is still posting.
#include "platform/audio_portaudio.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <portaudio.h>
#include <semaphore.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

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

// A stream's clock: when each callback's first frame is captured or played,
// in steady-clock nanoseconds. Counted in frames from the start, which keeps
// the times exact and free of the callback's scheduling; set against the
// host's estimate of the same moment, which a count cannot know: the count is
// moved to it at once when the host lost or inserted sound (it says so) or
// when the two are further apart than kJumpNs, and follows it slowly
// otherwise, since the sound card's crystal and the system's clock drift
// apart by a few milliseconds a minute. Real-time thread; no allocation.
class TStreamClock {
public:
  static constexpr int64_t kJumpNs = 20'000'000;
  static constexpr double kFollow = 1.0 / 256;  // of the difference, per callback

  explicit TStreamClock(double rate = 8000) : nsPerFrame_(1e9 / rate) {}
  void Restart() { known_ = false; }
  // The time of the first of the next `frames` frames, the host's estimate
  // of it being `hostNs`; `slipped`: the host lost or inserted sound since.
  int64_t Block(int64_t hostNs, unsigned long frames, bool slipped) {
    double at = base_ + double(frames_) * nsPerFrame_;
    const double off = double(hostNs) - at;
    if (!known_ || slipped || std::fabs(off) > double(kJumpNs)) {
      base_ = double(hostNs);
      frames_ = 0;
      at = base_;
      known_ = true;
    } else {
      base_ += off * kFollow;
      at += off * kFollow;
    }
    frames_ += frames;
    return int64_t(std::llround(at));
  }

private:
  double nsPerFrame_;
  bool known_ = false;
  double base_ = 0;
  uint64_t frames_ = 0;
};

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The stream's side of the conversion: its rate and channels, and the
// resampler between it and the owner's format (16-bit only).
struct TStreamShape {
  double Rate = 8000;
  int Channels = 1;
};

class TPaDevice final : public IWaveDevice {
public:
  TPaDevice(bool input, const TWaveFormat& format, TMessageQueue* queue)
      : input_(input), format_(format), queue_(queue) {
    sem_init(&ready_, 0, 0);
  }
  ~TPaDevice() override {
    Close();
    if (resampler_) speex_resampler_destroy(resampler_);
    sem_destroy(&ready_);
  }

  // Opens the stream in `shape` and starts the notifier; raises TWaveException.
  void Open(PaStreamParameters params, const TStreamShape& shape);
  // The stream as opened, for tests and diagnostics.
  TStreamShape Shape() const { return shape_; }

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
  // Real-time thread. `atNs`: when the first of these bytes is captured or
  // played; it stamps a buffer begun here.
  void Transfer(const uint8_t* in, uint8_t* out, size_t bytes, int64_t atNs);
  int64_t FrameNs(size_t frames) const { return blockNs_ + int64_t(double(frames) * 1e9 / shape_.Rate); }
  // The callback when the stream's shape differs from the owner's format.
  void ConvertIn(const int16_t* in, unsigned long frames);
  void ConvertOut(int16_t* out, unsigned long frames);
  bool Converting() const { return resampler_ || shape_.Channels != format_.Channels; }
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
  TStreamClock clock_;
  int64_t blockNs_ = 0;  // the time of the callback's first frame

  // Conversion state, callback thread only (preallocated at open).
  static constexpr size_t kStage = 4096;  // samples per step, in either direction
  TStreamShape shape_;
  SpeexResamplerState* resampler_ = nullptr;
  std::array<int16_t, kStage> mono_{};      // the stream's side, one channel
  std::array<int16_t, kStage> owner_{};     // the owner's side
  size_t ownerFill_ = 0, ownerUsed_ = 0;    // output: owner samples staged and used

  sem_t ready_;
  std::atomic<bool> quit_{false};
  std::mutex notifyMutex_;
  std::thread notifier_;
};

void TPaDevice::Open(PaStreamParameters params, const TStreamShape& shape) {
  shape_ = shape;
  clock_ = TStreamClock(shape.Rate);
  params.channelCount = shape.Channels;
  const uint32_t rate = uint32_t(shape.Rate);
  if (rate != format_.SamplesPerSec) {
    int err = 0;
    resampler_ = input_ ? speex_resampler_init(1, rate, format_.SamplesPerSec, SPEEX_RESAMPLER_QUALITY_VOIP, &err)
                        : speex_resampler_init(1, format_.SamplesPerSec, rate, SPEEX_RESAMPLER_QUALITY_VOIP, &err);
    if (!resampler_) throw TWaveException(WaveErrNoMem);
    speex_resampler_skip_zeros(resampler_);
  }
  // 10 ms blocks keep the callback's work and the conversion steps small.
  const unsigned long block = Converting() ? std::max(1u, rate / 100) : paFramesPerBufferUnspecified;
  PaError err = Pa_OpenStream(&stream_, input_ ? &params : nullptr, input_ ? nullptr : &params, shape.Rate, block,
                              paClipOff, &TPaDevice::Callback, this);
  if (err != paNoError) {
    stream_ = nullptr;
    throw TWaveException(WaveCodeOf(err));
  }
  notifier_ = std::thread([this] { Notifier(); });
}

int TPaDevice::Callback(const void* in, void* out, unsigned long frames, const PaStreamCallbackTimeInfo* times,
                        PaStreamCallbackFlags flags, void* self) {
  auto* d = static_cast<TPaDevice*>(self);
  // The host's estimate, in PortAudio's clock, moved to ours by the time
  // between it and now; without one, the moment the callback runs: the input
  // block was complete by then, the output one is about to leave.
  const int64_t now = SteadyNs();
  int64_t host = d->input_ ? now - int64_t(double(frames) * 1e9 / d->shape_.Rate) : now;
  if (times && times->currentTime > 0) {
    const double device = d->input_ ? times->inputBufferAdcTime : times->outputBufferDacTime;
    if (device > 0) host = now + int64_t((device - times->currentTime) * 1e9);
  }
  const bool slipped = (flags & (paInputUnderflow | paInputOverflow | paOutputUnderflow | paOutputOverflow)) != 0;
  d->blockNs_ = d->clock_.Block(host, frames, slipped);
  if (!d->Converting()) {
    d->Transfer(static_cast<const uint8_t*>(in), static_cast<uint8_t*>(out), frames * d->format_.BlockAlign(),
                d->blockNs_);
  } else if (d->input_) {
    d->ConvertIn(static_cast<const int16_t*>(in), frames);
  } else {
    d->ConvertOut(static_cast<int16_t*>(out), frames);
  }
  return paContinue;
}

void TPaDevice::ConvertIn(const int16_t* in, unsigned long frames) {
  const int channels = shape_.Channels;
  size_t done = 0;
  while (frames > 0) {
    // Small steps: even converting up (a stream slower than the owner's
    // rate, up to 8 times) the result fits the stage.
    const size_t n = std::min<size_t>(frames, kStage / 8);
    // Mixed down to one channel (silence when the host gave no input).
    for (size_t f = 0; f < n; ++f) {
      int32_t sum = 0;
      for (int c = 0; c < channels && in; ++c) sum += in[f * size_t(channels) + size_t(c)];
      mono_[f] = int16_t(sum / channels);
    }
    if (in) in += n * size_t(channels);
    frames -= n;
    // The resampler's own delay is left out: it is the same for every buffer.
    const int64_t stepNs = FrameNs(done);
    done += n;
    spx_uint32_t inLength = spx_uint32_t(n), outLength = spx_uint32_t(kStage);
    const int16_t* ready = mono_.data();
    size_t count = n;
    if (resampler_) {
      speex_resampler_process_int(resampler_, 0, mono_.data(), &inLength, owner_.data(), &outLength);
      ready = owner_.data();
      count = outLength;
    }
    // The owner's format: one channel, or the same copied to each.
    if (format_.Channels == 1) {
      Transfer(reinterpret_cast<const uint8_t*>(ready), nullptr, count * 2, stepNs);
    } else {
      int16_t pair[2 * 256];
      for (size_t at = 0; at < count;) {
        const size_t k = std::min<size_t>(count - at, 256);
        for (size_t i = 0; i < k; ++i) pair[2 * i] = pair[2 * i + 1] = ready[at + i];
        Transfer(reinterpret_cast<const uint8_t*>(pair), nullptr, k * 4,
                 stepNs + int64_t(double(at) * 1e9 / format_.SamplesPerSec));
        at += k;
      }
    }
  }
}

void TPaDevice::ConvertOut(int16_t* out, unsigned long frames) {
  const int channels = shape_.Channels;
  const size_t ownerChannels = format_.Channels;
  size_t done = 0;
  while (frames > 0) {
    if (ownerUsed_ == ownerFill_) {
      // Stage the owner's next stretch, converted to one channel; enough for
      // about 10 ms of the stream.
      const size_t want = std::min<size_t>(kStage / 2, std::max<size_t>(16, format_.SamplesPerSec / 100));
      int16_t raw[2 * (kStage / 2)];
      // What is staged plays once the stream has taken what was staged before
      // (the resampler's own delay left out: the same for every buffer).
      Transfer(nullptr, reinterpret_cast<uint8_t*>(raw), want * ownerChannels * 2, FrameNs(done));
      for (size_t i = 0; i < want; ++i)
        owner_[i] = ownerChannels == 1 ? raw[i] : int16_t((raw[2 * i] + raw[2 * i + 1]) / 2);
      ownerFill_ = want;
      ownerUsed_ = 0;
    }
    spx_uint32_t inLength = spx_uint32_t(ownerFill_ - ownerUsed_);
    spx_uint32_t outLength = spx_uint32_t(std::min<size_t>(frames, kStage));
    if (resampler_) {
      speex_resampler_process_int(resampler_, 0, owner_.data() + ownerUsed_, &inLength, mono_.data(), &outLength);
    } else {
      outLength = std::min(inLength, outLength);
      inLength = outLength;
      std::memcpy(mono_.data(), owner_.data() + ownerUsed_, outLength * 2);
    }
    ownerUsed_ += inLength;
    if (inLength == 0 && outLength == 0) {
      // Cannot happen with room on both sides; never spin in the callback.
      std::memset(out, 0, frames * size_t(channels) * 2);
      return;
    }
    for (size_t f = 0; f < outLength; ++f)
      for (int c = 0; c < channels; ++c) *out++ = mono_[f];
    frames -= outLength;
    done += outLength;
  }
}

void TPaDevice::Transfer(const uint8_t* in, uint8_t* out, size_t bytes, int64_t atNs) {
  bool completed = false;
  const double nsPerByte = 1e9 / double(format_.AvgBytesPerSec());
  size_t moved = 0;
  while (bytes > 0 || (current_ && offset_ == current_->BufferLength)) {
    if (!current_) {
      current_ = pending_.Pop();
      offset_ = 0;
      if (!current_) break;
      current_->TimeNs = atNs + int64_t(double(moved) * nsPerByte);
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
    moved += k;
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
  header->TimeNs = 0;
  if (input_) header->BytesRecorded = 0;
  inFlight_.fetch_add(1);
  pending_.Push(header);
  if (!input_ && !running_) {
    clock_.Restart();  // the callback is idle while the stream is stopped
    PaError err = Pa_StartStream(stream_);
    if (err != paNoError) throw Exception(Pa_GetErrorText(err));
    running_ = true;
  }
}

void TPaDevice::Start() {
  CheckOpen();
  if (!input_ || running_) return;
  clock_.Restart();  // the callback is idle while the stream is stopped
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

void QuietJack(const char*) {}

// PortAudio also asks JACK, whose client library reports on stderr that no
// JACK server runs (five lines on an ordinary desktop) and may try to start
// one. Unless QUORVELLE_AUDIO_VERBOSE asks for the probing to be heard, its
// messages go nowhere and no server is started. The JACK library comes with
// PortAudio's, so it is looked up rather than linked.
bool AudioVerbose() {
  const char* v = std::getenv("QUORVELLE_AUDIO_VERBOSE");
  return v && *v && std::strcmp(v, "0") != 0;
}

void QuietJackProbing() {
  using TSetter = void (*)(void (*)(const char*));
  setenv("JACK_NO_START_SERVER", "1", 0);
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"})
    if (auto set = reinterpret_cast<TSetter>(dlsym(RTLD_DEFAULT, name))) set(&QuietJack);
}

class TPaBackend final : public IAudioBackend {
public:
  TPaBackend() {
    const bool verbose = AudioVerbose();
    if (!verbose) {
      snd_lib_error_set_handler(&QuietAlsa);
      QuietJackProbing();
    }
    ok_ = Pa_Initialize() == paNoError;
    if (!verbose) snd_lib_error_set_handler(nullptr);
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
    TStreamShape shape;
    if (!ChooseShape(params, input, format, info, shape)) throw TWaveException(WaveErrBadFormat);
    auto dev = std::make_unique<TPaDevice>(input, format, queue);
    dev->Open(params, shape);
    return dev;
  }

private:
  // The device's own rate first, then the rate asked for and common ones;
  // the owner's channel count first, then two, then one. 8-bit streams are
  // not converted: they open as asked or not at all.
  static bool ChooseShape(PaStreamParameters params, bool input, const TWaveFormat& format, const PaDeviceInfo* info,
                          TStreamShape& shape) {
    std::vector<double> rates;
    if (format.BitsPerSample == 16 && info && info->defaultSampleRate > 0) rates.push_back(info->defaultSampleRate);
    rates.push_back(format.SamplesPerSec);
    if (format.BitsPerSample == 16)
      for (double r : {48000.0, 44100.0, 32000.0, 16000.0}) rates.push_back(r);
    std::vector<int> channels = {format.Channels};
    if (format.BitsPerSample == 16)
      for (int c : {2, 1})
        if (c != format.Channels && (!info || c <= (input ? info->maxInputChannels : info->maxOutputChannels)))
          channels.push_back(c);
    for (int c : channels) {
      params.channelCount = c;
      for (double rate : rates) {
        if (Pa_IsFormatSupported(input ? &params : nullptr, input ? nullptr : &params, rate) == paFormatIsSupported) {
          shape.Rate = rate;
          shape.Channels = c;
          return true;
        }
      }
    }
    return false;
  }

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
