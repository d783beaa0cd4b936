// TSipAccounts: the engine's account list, one counted reference per entry
// (see platform/lockedlist.h for its lock).
#pragma once

#include <string>

#include "platform/lockedlist.h"
#include "sip/sipints.h"

namespace qv {

class TSipAccounts : public TLockedList<ISipAccountPtr> {
public:
  // What the engine gets when it looks an account up by user and host: the
  // first entry whatever it asks for, or none when the list is empty.
  ISipAccountPtr FirstAccount() { return First(); }

  // The first account, in list order, whose Call-ID equals `key`, or whose
  // STUN transaction identifier (cut from its Call-ID) does.
  ISipAccountPtr FindByCallId(const std::string& key);
};

}  // namespace qv
