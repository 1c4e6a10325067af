// Locks and counts that threads wait on.
#ifndef EEGMEX_PLATFORM_SYNC_H
#define EEGMEX_PLATFORM_SYNC_H

#include <atomic>
#include <cstdint>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace platform {

// A lock that needs no set-up or release: a Lock, static or not, is ready when it exists. Not
// recursive; lock and unlock on the same thread.
struct Lock {
#if defined(_WIN32)
  void* state = nullptr;  // an SRWLOCK, whose unlocked state is a null pointer
#else
  pthread_mutex_t state = PTHREAD_MUTEX_INITIALIZER;
#endif
};

void lock(Lock& lock) noexcept;
void unlock(Lock& lock) noexcept;

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

}  // namespace platform

#endif
