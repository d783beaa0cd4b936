// Small helpers shared by the engine's files (internal to the engine).
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <random>
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

// A uniform draw in [0, n), for the waits after a 491 (the calls' own
// generator is kept for what it makes).
inline int64_t RandomBelow(int64_t n) {
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<int64_t>(0, n - 1)(generator);
}

// The pause after DropCall's own BYE.
inline void Pause100ms() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

// How long going inactive waits for the answers to its BYEs and
// un-REGISTERs (and the un-REGISTERs' challenges), in all.
constexpr int kFarewellWaitMs = 2000;

// RFC 3261 13.3.1.4 and 17.1.1.2: what the UAS core waits for an ACK, and the
// time-outs of the transactions, 64*T1.
constexpr int64_t kT1Ms = 500;

}  // namespace qv
