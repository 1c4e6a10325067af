// A plain worker thread (POSIX threads or Windows threads), started and joined without exceptions.
#ifndef EEGFETCH_CORE_WORKER_THREAD_H
#define EEGFETCH_CORE_WORKER_THREAD_H

#include <atomic>
#include <cfenv>
#include <cstdint>

namespace eeg {

// A thread's floating-point settings: rounding, exception masks and, on x86, the SSE control
// register with its flush-to-zero and denormals-are-zero bits.
struct FloatSettings {
  std::fenv_t environment{};
  unsigned sseControl = 0;
};

struct WorkerThread {
  void* handle = nullptr;  // owned by the platform code
  void (*routine)(void*) = nullptr;
  void* argument = nullptr;
  FloatSettings settings;  // the starting thread's, taken on by the new thread
};

// Starts routine(argument) on a new thread that computes with the calling thread's floating-point
// settings (a new Windows thread would otherwise start with the system's defaults, and parts of a
// read done there would round differently). Returns false (nothing started) when the system refuses.
bool startWorkerThread(WorkerThread& thread, void (*routine)(void*), void* argument) noexcept;
// Waits for a started thread to end and releases it.
void joinWorkerThread(WorkerThread& thread) noexcept;
// Processors available to this process (at least 1).
int processorCount() noexcept;

// A count that threads wait on. Waiting spins briefly, then sleeps until the count is raised.
struct WaitCounter {
  std::atomic<int64_t> value{0};
  void* impl = nullptr;  // lock and condition, owned by the platform code
};

// Returns false (nothing allocated) when the system refuses.
bool setupWaitCounter(WaitCounter& counter) noexcept;
void releaseWaitCounter(WaitCounter& counter) noexcept;
// Adds `delta` and wakes every waiter.
void raiseWaitCounter(WaitCounter& counter, int64_t delta) noexcept;
// Returns once the count is at least `target`.
void waitForCount(WaitCounter& counter, int64_t target) noexcept;

}  // namespace eeg

#endif
