// The codec factory: one codec object per RTP payload type.
#pragma once

#include "sip/sipints.h"

namespace qv {

// 0 PCMU, 8 PCMA, 3 GSM, 110 Speex (only while the Speex library is loaded);
// nullptr for every other payload type. Each call makes a new object with
// fresh state.
IAudioCodecPtr CreateCodec(int payloadType);

// True when the Speex library was found (looked up once per process).
bool SpeexAvailable();

}  // namespace qv
