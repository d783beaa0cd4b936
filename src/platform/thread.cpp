#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>

#include <cstdlib>

namespace qv {

void SetTimeCriticalPriority() {
  if (std::getenv("QUORVELLE_NO_REALTIME")) return;
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);  // refusal is fine
}

void SetThreadName(const char* name) { pthread_setname_np(pthread_self(), name); }

}  // namespace qv
