// Windows side of the platform layer: CreateThread, SRW locks, the performance counter, waitable
// timers and LoadLibraryA.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0601
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // condition variables, TryAcquireSRWLockExclusive
#endif
#include <windows.h>

#include <cstdlib>

#include "platform/clock.h"
#include "platform/library.h"
#include "platform/memory.h"
#include "platform/sync.h"
#include "platform/thread.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform {

static_assert(sizeof(Lock) == sizeof(SRWLOCK), "Lock holds an SRWLOCK");

// Threads

namespace {
DWORD WINAPI trampoline(LPVOID p) {
  Thread* t = static_cast<Thread*>(p);
  applyFloatSettings(t->settings);
  t->routine(t->argument);
  return 0;
}
}  // namespace

bool startThread(Thread& thread, void (*routine)(void*), void* argument) noexcept {
  thread.routine = routine;
  thread.argument = argument;
  thread.settings = currentFloatSettings();
  thread.handle = CreateThread(nullptr, 0, trampoline, &thread, 0, nullptr);
  return thread.handle != nullptr;
}

void joinThread(Thread& thread) noexcept {
  if (!thread.handle) return;
  WaitForSingleObject(static_cast<HANDLE>(thread.handle), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread.handle));
  thread.handle = nullptr;
}

// Windows has no fork(): never called there, and complete all the same.
void forgetThreadInChild(Thread& thread) noexcept {
  if (thread.handle) CloseHandle(static_cast<HANDLE>(thread.handle));
  thread.handle = nullptr;
}

int processorCount() noexcept {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

void preciseWakeups() noexcept {}

// Memory

// Large pages on Windows need a privilege that ordinary users lack: the advice is not taken.
void preferLargePages(void*, size_t) noexcept {}

// Locks and counts

void lock(Lock& l) noexcept { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&l.state)); }
void unlock(Lock& l) noexcept { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&l.state)); }
bool tryLock(Lock& l) noexcept {
  return TryAcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&l.state)) != 0;
}
void resetLockInChild(Lock& l) noexcept { l.state = nullptr; }
bool atFork(void (*)(), void (*)(), void (*)()) noexcept { return false; }  // no fork here

int cpuQuotaProcessors(const char*) noexcept { return 0; }

namespace {
struct CounterSync {
  SRWLOCK lock;
  CONDITION_VARIABLE changed;
};
}  // namespace

bool setupWaitCounter(WaitCounter& counter) noexcept {
  CounterSync* sync = static_cast<CounterSync*>(std::malloc(sizeof(CounterSync)));
  if (!sync) return false;
  InitializeSRWLock(&sync->lock);
  InitializeConditionVariable(&sync->changed);
  counter.impl = sync;
  return true;
}

void releaseWaitCounter(WaitCounter& counter) noexcept {
  std::free(counter.impl);
  counter.impl = nullptr;
}

void raiseWaitCounter(WaitCounter& counter, int64_t delta) noexcept {
  CounterSync* sync = static_cast<CounterSync*>(counter.impl);
  AcquireSRWLockExclusive(&sync->lock);
  counter.value.fetch_add(delta, std::memory_order_acq_rel);
  ReleaseSRWLockExclusive(&sync->lock);
  WakeAllConditionVariable(&sync->changed);
}

void waitForCount(WaitCounter& counter, int64_t target) noexcept {
  // The other threads usually finish within microseconds of each other: spin that long first.
  for (int spin = 0; spin < 2000; ++spin)
    if (counter.value.load(std::memory_order_acquire) >= target) return;
  CounterSync* sync = static_cast<CounterSync*>(counter.impl);
  AcquireSRWLockExclusive(&sync->lock);
  while (counter.value.load(std::memory_order_acquire) < target)
    SleepConditionVariableSRW(&sync->changed, &sync->lock, INFINITE, 0);
  ReleaseSRWLockExclusive(&sync->lock);
}

// The clock and the alarm

int64_t monotonicNowNs() noexcept {
  LARGE_INTEGER frequency, count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  const int64_t f = frequency.QuadPart;
  return (count.QuadPart / f) * 1000000000 + (count.QuadPart % f) * 1000000000 / f;
}

// A waitable timer for the deadline and an auto-reset event for the ring, waited on together.
// The event stays set until a wait takes it, so a ring before the wait is not lost.
struct Alarm {
  HANDLE timer;
  HANDLE rung;
};

Alarm* createAlarm() noexcept {
  Alarm* a = static_cast<Alarm*>(std::malloc(sizeof(Alarm)));
  if (!a) return nullptr;
  a->timer =
      CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  if (!a->timer) a->timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  a->rung = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!a->timer || !a->rung) {
    if (a->timer) CloseHandle(a->timer);
    if (a->rung) CloseHandle(a->rung);
    std::free(a);
    return nullptr;
  }
  return a;
}

void destroyAlarm(Alarm* a) noexcept {
  if (!a) return;
  CloseHandle(a->timer);
  CloseHandle(a->rung);
  std::free(a);
}

void releaseAlarmInChild(Alarm* a) noexcept { destroyAlarm(a); }  // no fork() here: never called

void waitForAlarm(Alarm* a, int64_t deadlineNs) noexcept {
  if (deadlineNs == kNoDeadline) {
    WaitForSingleObject(a->rung, INFINITE);
    return;
  }
  const HANDLE both[2] = {a->rung, a->timer};
  for (;;) {
    const int64_t remaining = deadlineNs - monotonicNowNs();
    if (remaining <= 0) {
      WaitForSingleObject(a->rung, 0);  // a ring in the meantime is answered by this return
      return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -((remaining + 99) / 100);  // relative, in 100 ns units
    if (!SetWaitableTimer(a->timer, &due, 0, nullptr, nullptr, FALSE)) {
      // No timer: wait for the ring in steps of the remaining milliseconds.
      if (WaitForSingleObject(a->rung, static_cast<DWORD>((remaining + 999999) / 1000000)) == WAIT_OBJECT_0)
        return;
      continue;
    }
    if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0) {
      CancelWaitableTimer(a->timer);
      return;
    }
  }
}

void ringAlarm(Alarm* a) noexcept { SetEvent(a->rung); }

// Shared libraries

LibraryHandle loadLibrary(const char* path) noexcept {
  if (!path || !*path) return nullptr;
  return reinterpret_cast<LibraryHandle>(LoadLibraryA(path));
}

void* findExport(LibraryHandle library, const char* name) noexcept {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void releaseLibrary(LibraryHandle library) noexcept {
  if (library) FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace platform
