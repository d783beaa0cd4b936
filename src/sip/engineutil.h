// Small helpers shared by the engine's files.
#pragma once

#include <string>

#include "sip/sipints.h"
#include "sip/sipmessage.h"

namespace qv {

// Holds an account's, a call's or a list's re-entrant lock for a scope.
template <class T>
class TScopedLock {
public:
  explicit TScopedLock(T& object) : object_(object) { object_.Lock(); }
  ~TScopedLock() { object_.Unlock(); }
  TScopedLock(const TScopedLock&) = delete;
  TScopedLock& operator=(const TScopedLock&) = delete;

private:
  T& object_;
};

// Keeps a 401/407 challenge on the account or call that must answer it.
template <class T>
void KeepChallenge(T& holder, const TSipMessage& m) {
  holder.SetAuthStatus(m.StatusCode);
  holder.SetAuthOpaque(m.AuthOpaque);
  holder.SetAuthQop(m.AuthQop);
  holder.SetAuthNonce(m.AuthNonce);
  holder.SetAuthRealm(m.AuthRealm);
}

// Numbers inside messages stay text until a consumer converts them with a default.
int ToIntDef(const std::string& text, int fallback);

}  // namespace qv
