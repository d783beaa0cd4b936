#include "platform/clock.h"

#include <atomic>
#include <ctime>

namespace qv {

namespace {
std::atomic<int64_t> testOffsetMs{0};

// Days from 1899-12-30 (the date-time epoch) to 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;
}  // namespace

uint32_t GetTickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  int64_t ms = int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000 + testOffsetMs.load(std::memory_order_relaxed);
  return uint32_t(uint64_t(ms));
}

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000 + testOffsetMs.load(std::memory_order_relaxed);
}

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  tm local{};
  localtime_r(&secs, &local);
  // Local wall-clock seconds: UTC plus the zone offset in force now.
  double localSecs = double(secs) + double(local.tm_gmtoff) + ts.tv_nsec / 1e9 +
                     testOffsetMs.load(std::memory_order_relaxed) / 1000.0;
  return kUnixEpochDays + localSecs / 86400.0;
}

void AdvanceClockForTests(int64_t ms) { testOffsetMs.fetch_add(ms); }

}  // namespace qv
