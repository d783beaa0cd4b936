#include "platform/audiodevice.h"

#include <cstdlib>
#include <cstdio>
#include <mutex>

#include "platform/audio_portaudio.h"
#include "platform/audio_virtual.h"

namespace qv {

const char* WaveErrorText(int code) {
  switch (code) {
    case WaveErrError: return "Unspecified error.";
    case WaveErrBadDeviceId: return "Specified device identifier is out of range.";
    case WaveErrAllocated: return "Specified resource is already allocated.";
    case WaveErrNoDriver: return "No device driver is present.";
    case WaveErrNoMem: return "Unable to allocate or lock memory.";
    case WaveErrBadFormat: return "Attempted to open with an unsupported waveform-audio format.";
    default: return "";
  }
}

namespace {

std::mutex selectionMutex;
std::string selectedName;    // "" = not chosen through the API
IAudioBackendPtr resolved;   // the backend for new devices, once resolved
bool fellBack = false;       // resolved is virtual because auto found no device

IAudioBackendPtr Resolve(const std::string& name) {
  fellBack = false;
  if (name == "virtual") return VirtualAudioBackend();
  if (name == "portaudio") return PortAudioBackend();
  // auto: a machine without a sound card still runs, on the virtual devices.
  IAudioBackendPtr pa = PortAudioBackend();
  if (!pa->InputDeviceNames().empty() || !pa->OutputDeviceNames().empty()) return pa;
  fellBack = true;
  return VirtualAudioBackend();
}

}  // namespace

void SelectAudioBackend(const std::string& name) {
  if (!name.empty() && name != "auto" && name != "virtual" && name != "portaudio")
    throw Exception("Unknown audio backend: " + name);
  std::lock_guard<std::mutex> lock(selectionMutex);
  selectedName = name;
  resolved.reset();
}

IAudioBackendPtr AudioBackend() {
  std::lock_guard<std::mutex> lock(selectionMutex);
  if (resolved) return resolved;
  std::string name = selectedName;
  if (name.empty()) {
    const char* env = std::getenv("QUORVELLE_AUDIO");
    name = env ? env : "auto";
    if (name != "auto" && name != "virtual" && name != "portaudio") {
      std::fprintf(stderr, "QUORVELLE_AUDIO=%s is not portaudio, virtual or auto; using auto\n",
                   name.c_str());
      name = "auto";
    }
  }
  resolved = Resolve(name);
  return resolved;
}

bool AudioBackendIsFallback() {
  AudioBackend();
  std::lock_guard<std::mutex> lock(selectionMutex);
  return fellBack;
}

std::vector<std::string> WaveInDeviceNames() { return AudioBackend()->InputDeviceNames(); }

std::vector<std::string> WaveOutDeviceNames() { return AudioBackend()->OutputDeviceNames(); }

IWaveDevicePtr WaveInOpen(int device, const TWaveFormat& format, TMessageQueue* queue) {
  return AudioBackend()->Open(true, device, format, queue);
}

IWaveDevicePtr WaveOutOpen(int device, const TWaveFormat& format, TMessageQueue* queue) {
  return AudioBackend()->Open(false, device, format, queue);
}

int WaveDeviceByName(bool input, const std::string& name) {
  std::vector<std::string> names = input ? WaveInDeviceNames() : WaveOutDeviceNames();
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return int(i);
  return -1;
}

}  // namespace qv
