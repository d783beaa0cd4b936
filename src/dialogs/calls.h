// TSipCalls: the engine's call list, one counted reference per entry (see
// platform/lockedlist.h for its lock). A call's last release runs its
// destructor, which stops its media: a removal does it outside the list lock
// unless the caller holds that lock.
#pragma once

#include <string>

#include "platform/lockedlist.h"
#include "sip/sipints.h"

namespace qv {

class TSipCalls : public TLockedList<ISipCallPtr> {
public:
  ISipCallPtr FindByCallId(const std::string& callId);
};

}  // namespace qv
