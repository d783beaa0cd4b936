// Real sound cards through PortAudio (ALSA, PulseAudio/PipeWire through ALSA,
// JACK). Device numbers count the input-capable (or output-capable) devices in
// PortAudio's order; -1 is PortAudio's default input (or output) device.
//
// The list of devices is read once, when the backend is first used. When
// PortAudio cannot start, the backend has no devices and every open fails with
// "No device driver is present.".
#pragma once

#include "platform/audiodevice.h"

namespace qv {

// The PortAudio backend (one per process, initialised on first call). Any thread.
IAudioBackendPtr PortAudioBackend();

}  // namespace qv
