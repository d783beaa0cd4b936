// The two clocks of the system.
//
// GetTickMs is a 32-bit millisecond counter that wraps like the original
// platform's tick count; every time-out built on it takes unsigned differences.
// Now is a date-time: a day count (double) whose fraction is the time of day,
// counted from 1899-12-30 in local time. A second is 1/86400 of a day.
//
// All three read the same test offset, so that tests can move time forward instead
// of sleeping (the 120 ms DTMF rule, the 250 ms in-band rule, silence watch).
// Thread-safe.
#pragma once

#include <cstdint>

namespace qv {

uint32_t GetTickMs();
double Now();
// Milliseconds of CLOCK_MONOTONIC as a 64-bit count that never wraps: what
// every time-out of the signalling is measured with.
int64_t MonotonicMs();

constexpr double kOneSecond = 1.0 / 86400.0;

// Moves both clocks forward by `ms` for the whole process. Tests only.
void AdvanceClockForTests(int64_t ms);

}  // namespace qv
