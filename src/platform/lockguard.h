// Holds an object's re-entrant lock for a scope: an account, a call or one of
// the engine's lists (anything with Lock() and Unlock()). The lock order of
// the user agent is list before object; see docs/architecture.md.
#pragma once

namespace qv {

template <class T>
class TLockGuard {
public:
  explicit TLockGuard(T& object) : object_(object) { object_.Lock(); }
  ~TLockGuard() { object_.Unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

private:
  T& object_;
};

}  // namespace qv
