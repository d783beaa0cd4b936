// The webrtc-audio-processing candidate, in its own translation unit: its
// headers bring macros of their own.
#pragma once

#include <memory>

#include "media/echocanceller.h"

namespace qv::bench {
std::unique_ptr<IEchoProcessor> CreateWebRtcProcessor(int rate, int block, int filter);
}
