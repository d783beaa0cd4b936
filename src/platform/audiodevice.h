// Sound devices: what wave-in and wave-out were on the original platform.
//
// A device is opened by number (-1 = the default device) for input or output
// with a PCM format and the owner's message queue. The owner hands it buffers
// described by TWaveHeader; the device fills (input) or plays (output) them in
// the order they were added and gives each one back by posting one message to
// the owner's queue:
//
//   input:  MsgWaveInData  (958), LParam = the TWaveHeader*, BytesRecorded set
//   output: MsgWaveOutDone (957), LParam = the TWaveHeader*
//   (WParam = the IWaveDevice* that returned it, for owners with several devices)
//
// Two backends sit behind the same interface: "portaudio" (real sound cards)
// and "virtual" (in-process, clock-paced; see audio_virtual.h for its sources
// and sinks). The backend is chosen by SelectAudioBackend() or by the
// environment variable QUORVELLE_AUDIO=portaudio|virtual|auto; "auto" (the
// default) takes PortAudio when it finds at least one device and the virtual
// backend otherwise, so the program still runs on a machine without a sound card.
//
// Threads:
// - Enumeration, selection and WaveInOpen/WaveOutOpen: any thread.
// - An open device belongs to the thread that opened it (its owner): AddBuffer,
//   Start, Stop, Reset, Close and destruction are called from that thread only.
// - Notifications are posted from the backend's own threads; the backend never
//   calls the owner except through TMessageQueue::Post. The queue's notify hook,
//   if any, must not call back into the device.
// - Between AddBuffer and the notification that returns it, a header and its
//   data belong to the device: the owner reads or changes neither. After Reset,
//   Close or destruction returns, the device touches no header any more; so
//   close the device before freeing its buffers (declare them first).
// - Reset and Close post their notifications before they return: an owner that
//   keeps a count of buffers in the device drains its queue afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace qv {

class TMessageQueue;

// PCM only: the format tag of the original is always 1.
struct TWaveFormat {
  uint32_t SamplesPerSec = 8000;
  uint16_t Channels = 1;
  uint16_t BitsPerSample = 16;

  uint32_t BlockAlign() const { return uint32_t(Channels) * (BitsPerSample / 8); }
  uint32_t AvgBytesPerSec() const { return SamplesPerSec * BlockAlign(); }
  bool operator==(const TWaveFormat&) const = default;
};

// The formats the system uses: call audio and the ring tone.
inline constexpr TWaveFormat kCallFormat{8000, 1, 16};
inline constexpr TWaveFormat kRingFormat{22050, 1, 16};

// A buffer description, as the owner's wave headers were. The owner keeps the
// header and the data alive until the device has given the buffer back.
struct TWaveHeader {
  char* Data = nullptr;        // the owner's buffer
  uint32_t BufferLength = 0;   // bytes to record or to play; a multiple of the block size
  uint32_t BytesRecorded = 0;  // input: bytes captured when the buffer comes back
  uintptr_t User = 0;          // the owner's word; the device never touches it
  // Set by the device when it gives the buffer back, cleared by AddBuffer. The
  // owner may read or clear it at any time (the ring thread clears it itself).
  std::atomic<bool> Done{false};
  // True from AddBuffer until the buffer is given back.
  std::atomic<bool> InQueue{false};
  // Set by the device when it gives the buffer back, cleared by AddBuffer:
  // when its first sample was captured (input) or began to play (output), in
  // steady-clock nanoseconds, counted on the device's own sample clock, so
  // that a buffer played after the device ran dry, or captured after sound was
  // lost, carries the later time. 0: it never played, or the device cannot
  // tell.
  int64_t TimeNs = 0;
};

// Open failures carry the original error code and its text, so that the media
// code can report them as they were reported before.
enum TWaveError : int {
  WaveErrError = 1,           // "Unspecified error." (any other failure of the sound system)
  WaveErrBadDeviceId = 2,     // "Specified device identifier is out of range."
  WaveErrAllocated = 4,       // "Specified resource is already allocated."
  WaveErrNoDriver = 6,        // "No device driver is present."
  WaveErrNoMem = 7,           // "Unable to allocate or lock memory."
  WaveErrBadFormat = 32,      // "Attempted to open with an unsupported waveform-audio format."
};

const char* WaveErrorText(int code);  // "" for a code outside the table

class TWaveException : public Exception {
public:
  explicit TWaveException(int code) : Exception(WaveErrorText(code)), code_(code) {}
  int Code() const { return code_; }

private:
  int code_;
};

// One open device. Destruction closes it.
class IWaveDevice {
public:
  virtual ~IWaveDevice() = default;

  // Queues a buffer (its Data, BufferLength and User set by the owner). Output
  // starts playing at once; input fills it once started. Raises when the header
  // is still queued or its length is not a whole number of blocks.
  virtual void AddBuffer(TWaveHeader* header) = 0;

  // Input: start or stop recording. Stop gives back the buffer being filled
  // (with the bytes recorded so far) when it holds any; the empty ones stay
  // queued. Output devices ignore both.
  virtual void Start() = 0;
  virtual void Stop() = 0;

  // Stops at once (sound already handed to the device is cut) and gives back
  // every queued buffer, in queue order, each with its notification. The device
  // stays open: input is stopped; output plays the next buffer added.
  virtual void Reset() = 0;

  // Reset, then release the device and stop its backend threads before
  // returning. Further calls other than Close raise. Idempotent.
  virtual void Close() = 0;

  virtual bool IsInput() const = 0;
  virtual TWaveFormat Format() const = 0;
};

using IWaveDevicePtr = std::unique_ptr<IWaveDevice>;

// A backend: device names and opening. Any thread.
class IAudioBackend {
public:
  virtual ~IAudioBackend() = default;
  virtual std::string Name() const = 0;  // "portaudio" or "virtual"
  virtual std::vector<std::string> InputDeviceNames() = 0;
  virtual std::vector<std::string> OutputDeviceNames() = 0;
  // `device` counts in the order of the name list; -1 = the default device.
  // `queue` receives the notifications; it must outlive the device. nullptr:
  // nothing is posted (the owner watches the Done flags).
  virtual IWaveDevicePtr Open(bool input, int device, const TWaveFormat& format,
                              TMessageQueue* queue) = 0;
};

using IAudioBackendPtr = std::shared_ptr<IAudioBackend>;

// Chooses the backend for devices opened from now on: "portaudio", "virtual"
// or "auto" ("" means: the environment decides again). Devices already open
// keep theirs. Raises "Unknown audio backend: NAME" for any other name.
void SelectAudioBackend(const std::string& name);

// The backend in use, resolved on first use: the last SelectAudioBackend, else
// QUORVELLE_AUDIO, else auto. An unknown QUORVELLE_AUDIO value counts as auto.
IAudioBackendPtr AudioBackend();

// Whether the backend in use is the virtual one because "auto" found no
// sound device: the program runs, but nobody hears the calls. (Resolves the
// backend like AudioBackend().)
bool AudioBackendIsFallback();

// Shorthands over AudioBackend(), in the original's terms.
std::vector<std::string> WaveInDeviceNames();
std::vector<std::string> WaveOutDeviceNames();
IWaveDevicePtr WaveInOpen(int device, const TWaveFormat& format, TMessageQueue* queue);
IWaveDevicePtr WaveOutOpen(int device, const TWaveFormat& format, TMessageQueue* queue);

// The number of the first device of that kind whose product name equals `name`
// exactly (case-sensitive); -1, the default device, when none does.
int WaveDeviceByName(bool input, const std::string& name);

}  // namespace qv
