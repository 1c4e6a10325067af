#include "worker_thread.h"

#if defined(_WIN32)
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // condition variables
#endif
#include <windows.h>

#include <cstdlib>
#else
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#endif

#if defined(__SSE__) || defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define EEG_SSE_CONTROL 1
#endif

namespace eeg {

namespace {

void takeFloatSettings(FloatSettings& s) noexcept {
  std::fegetenv(&s.environment);
#if defined(EEG_SSE_CONTROL)
  s.sseControl = _mm_getcsr();
#endif
}

void applyFloatSettings(const FloatSettings& s) noexcept {
  std::fesetenv(&s.environment);
#if defined(EEG_SSE_CONTROL)
  _mm_setcsr(s.sseControl);  // after fesetenv, which may leave flush-to-zero and denormals-are-zero
#endif
}

}  // namespace

#if defined(_WIN32)

namespace {
DWORD WINAPI trampoline(LPVOID p) {
  WorkerThread* t = static_cast<WorkerThread*>(p);
  applyFloatSettings(t->settings);
  t->routine(t->argument);
  return 0;
}
}  // namespace

bool startWorkerThread(WorkerThread& thread, void (*routine)(void*), void* argument) noexcept {
  thread.routine = routine;
  thread.argument = argument;
  takeFloatSettings(thread.settings);
  thread.handle = CreateThread(nullptr, 0, trampoline, &thread, 0, nullptr);
  return thread.handle != nullptr;
}

void joinWorkerThread(WorkerThread& thread) noexcept {
  if (!thread.handle) return;
  WaitForSingleObject(static_cast<HANDLE>(thread.handle), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread.handle));
  thread.handle = nullptr;
}

int processorCount() noexcept {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

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

static void sleepForCount(WaitCounter& counter, int64_t target) noexcept {
  CounterSync* sync = static_cast<CounterSync*>(counter.impl);
  AcquireSRWLockExclusive(&sync->lock);
  while (counter.value.load(std::memory_order_acquire) < target)
    SleepConditionVariableSRW(&sync->changed, &sync->lock, INFINITE, 0);
  ReleaseSRWLockExclusive(&sync->lock);
}

#else

namespace {
void* trampoline(void* p) {
  WorkerThread* t = static_cast<WorkerThread*>(p);
  applyFloatSettings(t->settings);
  t->routine(t->argument);
  return nullptr;
}
}  // namespace

bool startWorkerThread(WorkerThread& thread, void (*routine)(void*), void* argument) noexcept {
  thread.routine = routine;
  thread.argument = argument;
  takeFloatSettings(thread.settings);
  pthread_t* id = static_cast<pthread_t*>(std::malloc(sizeof(pthread_t)));
  if (!id) return false;
  if (pthread_create(id, nullptr, trampoline, &thread) != 0) {
    std::free(id);
    return false;
  }
  thread.handle = id;
  return true;
}

void joinWorkerThread(WorkerThread& thread) noexcept {
  if (!thread.handle) return;
  pthread_t* id = static_cast<pthread_t*>(thread.handle);
  pthread_join(*id, nullptr);
  std::free(id);
  thread.handle = nullptr;
}

int processorCount() noexcept {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

namespace {
struct CounterSync {
  pthread_mutex_t lock;
  pthread_cond_t changed;
};
}  // namespace

bool setupWaitCounter(WaitCounter& counter) noexcept {
  CounterSync* sync = static_cast<CounterSync*>(std::malloc(sizeof(CounterSync)));
  if (!sync) return false;
  if (pthread_mutex_init(&sync->lock, nullptr) != 0) {
    std::free(sync);
    return false;
  }
  if (pthread_cond_init(&sync->changed, nullptr) != 0) {
    pthread_mutex_destroy(&sync->lock);
    std::free(sync);
    return false;
  }
  counter.impl = sync;
  return true;
}

void releaseWaitCounter(WaitCounter& counter) noexcept {
  CounterSync* sync = static_cast<CounterSync*>(counter.impl);
  if (!sync) return;
  pthread_cond_destroy(&sync->changed);
  pthread_mutex_destroy(&sync->lock);
  std::free(sync);
  counter.impl = nullptr;
}

void raiseWaitCounter(WaitCounter& counter, int64_t delta) noexcept {
  CounterSync* sync = static_cast<CounterSync*>(counter.impl);
  pthread_mutex_lock(&sync->lock);
  counter.value.fetch_add(delta, std::memory_order_acq_rel);
  pthread_cond_broadcast(&sync->changed);
  pthread_mutex_unlock(&sync->lock);
}

static void sleepForCount(WaitCounter& counter, int64_t target) noexcept {
  CounterSync* sync = static_cast<CounterSync*>(counter.impl);
  pthread_mutex_lock(&sync->lock);
  while (counter.value.load(std::memory_order_acquire) < target)
    pthread_cond_wait(&sync->changed, &sync->lock);
  pthread_mutex_unlock(&sync->lock);
}

#endif

void waitForCount(WaitCounter& counter, int64_t target) noexcept {
  // The other threads usually finish within microseconds of each other: spin that long first.
  for (int spin = 0; spin < 2000; ++spin)
    if (counter.value.load(std::memory_order_acquire) >= target) return;
  sleepForCount(counter, target);
}

}  // namespace eeg
