// Dispatch of every received datagram, the STUN answer and the periodic Tick.
#include "sip/sip.h"
#include "sip/sipmessage.h"

namespace qv {

void TSipEngine::Dispatch(const TSipMessage&) {}

void TSipEngine::Tick() {}

}  // namespace qv
