// The webrtc-audio-processing candidate, in its own translation unit: its
// headers bring macros of their own.
#pragma once

#include <memory>

#include "media/echocanceller.h"

namespace qv::bench {
// Its suppressor at its high level (most echo removed) and at its moderate
// one (less clipping of the near talker while both talk).
std::unique_ptr<IEchoProcessor> CreateWebRtcProcessor(int rate, int block, int filter);
std::unique_ptr<IEchoProcessor> CreateWebRtcModerateProcessor(int rate, int block, int filter);
}
