// Locks and counts that threads wait on, and what a lock needs when the process forks.
//
// The pattern for state that several threads may reach (a module's own state, one object's state):
// the state carries its own Lock, every operation on it holds that lock for its whole run
// (LockGuard), and nothing else is locked while it is held except locks taken in one fixed order.
// After fork() the child has only the forking thread: a lock another thread held stays held for
// ever there, so the owner of the state gives the child a fresh lock (resetLockInChild) from an
// at-fork handler (atFork) and, when tryLock says the lock was held, drops the state that thread
// was changing.
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
// Takes the lock when it is free; false (not taken) when it is held.
bool tryLock(Lock& lock) noexcept;
// In a child process after fork() only: the lock, free, whatever state the parent's threads left it
// in. Nothing else may use it meanwhile.
void resetLockInChild(Lock& lock) noexcept;

// Holds a lock for its scope.
class LockGuard {
 public:
  explicit LockGuard(Lock& l) noexcept : lock_(l) { lock(lock_); }
  ~LockGuard() { unlock(lock_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& lock_;
};

// Runs `prepare` in the forking thread before fork(), `parent` in the parent and `child` in the
// child after it (pthread_atfork). Handlers of a shared module are forgotten when the system
// unloads it (glibc); where it would not, and on Windows, nothing is registered: false.
bool atFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

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
