// Small helpers shared by the engine's files.
#pragma once

#include <string>

#include "sip/sipints.h"

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

// Numbers inside messages stay text until a consumer converts them with a default.
int ToIntDef(const std::string& text, int fallback);

}  // namespace qv
