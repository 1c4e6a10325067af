// Threads that modules start inside a host process, and the processor count.
//
// Every thread started here begins with every signal blocked (POSIX), so the host's signal
// handlers (Ctrl-C, its crash handlers) keep running on the host's own threads, and with the
// floating-point settings of the thread that started it (a new Windows thread would otherwise
// start with the system's default control words, and work split across threads would round
// differently from the same work done on the caller's thread).
#ifndef EEGMEX_PLATFORM_THREAD_H
#define EEGMEX_PLATFORM_THREAD_H

#include "platform/float_settings.h"

namespace platform {

// A started thread until it is joined. The record must stay in place until joinThread: the new
// thread reads its routine, argument and settings from it.
struct Thread {
  void* handle = nullptr;  // owned by the platform code; null when not started or joined
  void (*routine)(void*) = nullptr;
  void* argument = nullptr;
  FloatSettings settings;  // the starting thread's, taken on by the new thread
};

// Starts routine(argument) on a new thread as described above. Returns false (nothing started,
// `routine` never runs) when the system refuses.
bool startThread(Thread& thread, void (*routine)(void*), void* argument) noexcept;
// Waits until a started thread has ended (it no longer runs any code of the module) and
// releases it. Does nothing for a thread that was not started.
void joinThread(Thread& thread) noexcept;
// In a child of fork(), where a thread the parent started does not exist: releases its record
// without waiting for it.
void forgetThreadInChild(Thread& thread) noexcept;

// Processors this process may use (at least 1): those online, fewer when its affinity mask
// (taskset, a container's cpuset) allows fewer, or when its cgroup's CPU quota is smaller (on
// Linux, cgroup v2 cpu.max or v1 cpu.cfs_quota_us, the smallest up the hierarchy, rounded up).
int processorCount() noexcept;
// A cgroup CPU quota line ("quota period", as cpu.max holds it) in whole processors, rounded up;
// 0 for "max", no quota or text that is no quota.
int cpuQuotaProcessors(const char* cpuMax) noexcept;

// The calling thread's timed waits end on their deadline: no timer slack (Linux would otherwise
// add up to 50 us to each). Nothing to do elsewhere.
void preciseWakeups() noexcept;

}  // namespace platform

#endif
