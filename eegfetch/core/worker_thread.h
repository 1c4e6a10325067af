// A plain worker thread (POSIX threads or Windows threads), started and joined without exceptions.
#ifndef EEGFETCH_CORE_WORKER_THREAD_H
#define EEGFETCH_CORE_WORKER_THREAD_H

namespace eeg {

struct WorkerThread {
  void* handle = nullptr;  // owned by the platform code
  void (*routine)(void*) = nullptr;
  void* argument = nullptr;
};

// Starts routine(argument) on a new thread. Returns false (nothing started) when the system refuses.
bool startWorkerThread(WorkerThread& thread, void (*routine)(void*), void* argument) noexcept;
// Waits for a started thread to end and releases it.
void joinWorkerThread(WorkerThread& thread) noexcept;
// Processors available to this process (at least 1).
int processorCount() noexcept;
// Lets other threads run while this one waits.
void yieldThread() noexcept;

}  // namespace eeg

#endif
