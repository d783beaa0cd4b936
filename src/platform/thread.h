// Thread helpers.
#pragma once

namespace qv {

// Asks for real-time scheduling (SCHED_FIFO) for the calling thread, as the
// original's "time-critical" priority did; quietly keeps the normal policy when
// the system refuses, or when QUORVELLE_NO_REALTIME is set in the environment.
void SetTimeCriticalPriority();

// Names the calling thread (shown by gdb, top -H); at most 15 characters.
void SetThreadName(const char* name);

}  // namespace qv
