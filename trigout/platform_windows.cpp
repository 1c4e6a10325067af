// Windows side of the platform layer: LoadLibraryA, CreateThread and high-resolution waits.
//
// Each pulse thread holds its own reference on this module, taken by the starting call before
// the thread exists and dropped by FreeLibraryAndExitThread as the thread's last act, so the
// code stays mapped until the last thread is out. As on POSIX, the unload handler waits for the
// pending pulses, so a pulse still ends with its reset when the host clears the module or exits.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // condition variables
#endif
#include <windows.h>

#include <new>

#include "platform.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace trig {

LibraryHandle loadLibrary(const char* path) { return reinterpret_cast<LibraryHandle>(LoadLibraryA(path)); }

void* findExport(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void releaseLibrary(LibraryHandle library) {
  if (library) FreeLibrary(static_cast<HMODULE>(library));
}

int64_t monotonicNowNs() {
  LARGE_INTEGER frequency, count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  int64_t f = frequency.QuadPart;
  return (count.QuadPart / f) * 1000000000 + (count.QuadPart % f) * 1000000000 / f;
}

void sleepUntilNs(int64_t deadlineNs) {
  // A high-resolution waitable timer where the system has one (Windows 10 1803 on); otherwise
  // Sleep, in steps, until the deadline has passed.
  HANDLE timer =
      CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  for (;;) {
    int64_t remaining = deadlineNs - monotonicNowNs();
    if (remaining <= 0) break;
    if (timer) {
      LARGE_INTEGER due;
      due.QuadPart = -((remaining + 99) / 100);  // relative, in 100 ns units
      if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(timer, INFINITE);
        continue;
      }
      CloseHandle(timer);
      timer = nullptr;
    }
    Sleep(static_cast<DWORD>((remaining + 999999) / 1000000));
  }
  if (timer) CloseHandle(timer);
}

namespace {

SRWLOCK g_threadsLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_threadsDone = CONDITION_VARIABLE_INIT;
size_t g_running = 0;  // started routines that have not returned

void routineEnded() {
  AcquireSRWLockExclusive(&g_threadsLock);
  if (--g_running == 0) WakeAllConditionVariable(&g_threadsDone);
  ReleaseSRWLockExclusive(&g_threadsLock);
}

struct ThreadStart {
  void (*routine)(void*);
  void* arg;
  HMODULE self;
};

DWORD WINAPI threadMain(LPVOID p) {
  ThreadStart* start = static_cast<ThreadStart*>(p);
  start->routine(start->arg);
  routineEnded();
  HMODULE self = start->self;
  delete start;
  FreeLibraryAndExitThread(self, 0);
  return 0;
}

}  // namespace

bool startThread(void (*routine)(void*), void* arg) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&threadMain),
                          &self))
    return false;
  ThreadStart* start = new (std::nothrow) ThreadStart{routine, arg, self};
  if (!start) {
    FreeLibrary(self);
    return false;
  }
  AcquireSRWLockExclusive(&g_threadsLock);
  ++g_running;
  ReleaseSRWLockExclusive(&g_threadsLock);
  HANDLE thread = CreateThread(nullptr, 0, threadMain, start, 0, nullptr);
  if (!thread) {
    routineEnded();
    delete start;
    FreeLibrary(self);
    return false;
  }
  CloseHandle(thread);
  return true;
}

// Waits until every pulse routine has returned; the threads' own module references keep the code
// mapped for the few instructions they still run after that.
void waitForThreads() {
  AcquireSRWLockExclusive(&g_threadsLock);
  while (g_running > 0) SleepConditionVariableSRW(&g_threadsDone, &g_threadsLock, INFINITE, 0);
  ReleaseSRWLockExclusive(&g_threadsLock);
}

namespace {
SRWLOCK g_portLock = SRWLOCK_INIT;
}

void lockPort() { AcquireSRWLockExclusive(&g_portLock); }
void unlockPort() { ReleaseSRWLockExclusive(&g_portLock); }

}  // namespace trig
