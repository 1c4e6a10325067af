#include "worker_thread.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace eeg {

#if defined(_WIN32)

namespace {
DWORD WINAPI trampoline(LPVOID p) {
  WorkerThread* t = static_cast<WorkerThread*>(p);
  t->routine(t->argument);
  return 0;
}
}  // namespace

bool startWorkerThread(WorkerThread& thread, void (*routine)(void*), void* argument) noexcept {
  thread.routine = routine;
  thread.argument = argument;
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

void yieldThread() noexcept { SwitchToThread(); }

#else

namespace {
void* trampoline(void* p) {
  WorkerThread* t = static_cast<WorkerThread*>(p);
  t->routine(t->argument);
  return nullptr;
}
}  // namespace

bool startWorkerThread(WorkerThread& thread, void (*routine)(void*), void* argument) noexcept {
  thread.routine = routine;
  thread.argument = argument;
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

void yieldThread() noexcept { sched_yield(); }

#endif

}  // namespace eeg
