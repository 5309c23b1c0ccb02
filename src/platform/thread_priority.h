// Thread priorities, best effort: the scheduler may refuse a raise (an
// ordinary user cannot ask for real-time scheduling), and the program goes
// on at normal priority.
#pragma once

namespace velloran::platform {

enum class ThreadPriority { Idle, Lowest, Lower, Normal, TimeCritical };

// Applies to the calling thread. Returns false when the system refused.
bool SetCurrentThreadPriority(ThreadPriority priority);

}  // namespace velloran::platform
