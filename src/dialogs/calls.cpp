#include "dialogs/calls.h"

namespace qv {

ISipCallPtr TSipCalls::FindByCallId(const std::string& callId) {
  return FindIf([&](const ISipCallPtr& call) { return call->GetCallId() == callId; });
}

}  // namespace qv
