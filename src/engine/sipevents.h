// The events the engine posts to its consumer's queue. Each carries one
// counted reference (the call, the account or the log text); the receiver
// lets go of it. The numbers are fixed: embedders that read the queue
// themselves match on them.
#pragma once

#include <cstdint>

namespace qv {

enum : uint32_t {
  MsgLog = 4148,
  MsgIncomingCall = 4149,
  MsgCallEnded = 4150,
  MsgCallAnswered = 4151,
  MsgRegistered = 4152,
  MsgRegistrationEnded = 4153,
  MsgDtmf = 4159,
  MsgWavStopped = 4160,
  MsgRingback = 4162,
  // A sound device of a call could not be opened; carries a TDeviceErrorEvent.
  MsgDeviceError = 4163,
};

}  // namespace qv
