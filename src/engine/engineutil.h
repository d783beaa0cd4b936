// Small helpers shared by the engine's files (internal to the engine).
#pragma once

#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>

namespace qv {

template <class T>
bool IsOneOf(T value, std::initializer_list<T> values) {
  for (T v : values)
    if (v == value) return true;
  return false;
}

// 401 and 407 ask for credentials; 403 is answered as a 401 by calls.
inline bool IsChallenge(const std::string& status) {
  return status == "401" || status == "403" || status == "407";
}

// A final failure: first digit above 2, or no digit at all.
inline bool IsFinalFailure(const std::string& status) {
  return !status.empty() && !(status[0] >= '0' && status[0] <= '2');
}

// The farewell pause after each BYE and un-REGISTER when going inactive.
inline void Pause100ms() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

}  // namespace qv
