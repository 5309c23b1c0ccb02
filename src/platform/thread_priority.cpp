#include "platform/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velloran::platform {

bool SetCurrentThreadPriority(ThreadPriority priority) {
  const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
  if (priority == ThreadPriority::TimeCritical) {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_RR);
    if (pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0) return true;
    // Not allowed real-time scheduling: the highest nice value we may take.
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -10) == 0;
  }
  // On Linux the nice value is per thread.
  int nice = 0;
  switch (priority) {
    case ThreadPriority::Idle: nice = 19; break;
    case ThreadPriority::Lowest: nice = 10; break;
    case ThreadPriority::Lower: nice = 5; break;
    default: nice = 0; break;
  }
  // Lowering is always allowed; going back up from a higher nice value may
  // not be, which only leaves the thread a little slower.
  return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0;
}

}  // namespace velloran::platform
