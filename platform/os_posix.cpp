// POSIX side of the platform layer: pthreads, CLOCK_MONOTONIC and dlopen.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#if defined(__linux__)
#include <sys/mman.h>
#include <sys/prctl.h>
#endif
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/library.h"
#include "platform/memory.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace platform {

// Threads

namespace {
void* trampoline(void* p) {
  Thread* t = static_cast<Thread*>(p);
  applyFloatSettings(t->settings);
  t->routine(t->argument);
  return nullptr;
}
}  // namespace

bool startThread(Thread& thread, void (*routine)(void*), void* argument) noexcept {
  thread.routine = routine;
  thread.argument = argument;
  thread.settings = currentFloatSettings();
  pthread_t* id = static_cast<pthread_t*>(std::malloc(sizeof(pthread_t)));
  if (!id) return false;
  // The new thread inherits the mask in force here: all blocked. The caller's own is restored.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int rc = pthread_create(id, nullptr, trampoline, &thread);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    std::free(id);
    return false;
  }
  thread.handle = id;
  return true;
}

void joinThread(Thread& thread) noexcept {
  if (!thread.handle) return;
  pthread_t* id = static_cast<pthread_t*>(thread.handle);
  pthread_join(*id, nullptr);
  std::free(id);
  thread.handle = nullptr;
}

void forgetThreadInChild(Thread& thread) noexcept {
  std::free(thread.handle);
  thread.handle = nullptr;
}

int cpuQuotaProcessors(const char* cpuMax) noexcept {
  if (!cpuMax) return 0;
  while (*cpuMax == ' ' || *cpuMax == '\t') ++cpuMax;
  if (std::strncmp(cpuMax, "max", 3) == 0) return 0;
  char* end = nullptr;
  const double quota = std::strtod(cpuMax, &end);
  if (end == cpuMax || !(quota > 0)) return 0;
  const char* rest = end;
  const double period = std::strtod(rest, &end);
  if (end == rest || !(period > 0)) return 0;
  const double n = std::ceil(quota / period);
  return n < 1 ? 1 : n > 65536 ? 65536 : static_cast<int>(n);
}

namespace {

#if defined(__linux__)
// The first line of a small text file, or false.
bool readLine(const std::string& path, char (&line)[256]) {
  std::FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return false;
  const bool ok = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  return ok;
}

// The smallest CPU quota of the process's cgroup and its parents, in whole processors (rounded
// up); 0 when none is set. cgroup v2 (cpu.max) or, failing that, v1 (cpu.cfs_quota_us).
int cgroupProcessors() {
  std::FILE* f = std::fopen("/proc/self/cgroup", "re");
  if (!f) return 0;
  char text[4096];
  std::string v2, v1;
  while (std::fgets(text, sizeof text, f)) {
    std::string entry(text);
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
    const size_t a = entry.find(':'), b = a == std::string::npos ? a : entry.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string controllers = entry.substr(a + 1, b - a - 1), path = entry.substr(b + 1);
    if (entry.compare(0, a, "0") == 0 && controllers.empty()) v2 = path;
    if (("," + controllers + ",").find(",cpu,") != std::string::npos) v1 = path;
  }
  std::fclose(f);
  int least = 0;
  char line[256];
  const auto take = [&least](int n) {
    if (n > 0 && (least == 0 || n < least)) least = n;
  };
  for (std::string at = v2; !v2.empty();) {
    if (readLine("/sys/fs/cgroup" + at + "/cpu.max", line)) take(cpuQuotaProcessors(line));
    if (at.empty() || at == "/") break;
    const size_t slash = at.rfind('/');
    at = slash == 0 || slash == std::string::npos ? std::string("/") : at.substr(0, slash);
  }
  if (least == 0 && !v1.empty()) {
    char quota[256], period[256];
    for (const char* root : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
      const std::string dir = std::string(root) + (v1 == "/" ? "" : v1);
      if (readLine(dir + "/cpu.cfs_quota_us", quota) && readLine(dir + "/cpu.cfs_period_us", period)) {
        std::string both = std::string(quota);
        both.erase(both.find_last_not_of(" \n") + 1);
        take(cpuQuotaProcessors((both + " " + period).c_str()));
        break;
      }
    }
  }
  return least;
}
#endif

}  // namespace

int processorCount() noexcept {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 1) n = 1;
#if defined(__linux__)
  // The processors this process may run on (taskset, a container's cpuset) ...
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int allowed = CPU_COUNT(&set);
    if (allowed >= 1 && allowed < n) n = allowed;
  }
  // ... and its cgroup's CPU time quota, read once: it seldom changes while a process runs.
  static const int quota = [] {
    try {
      return cgroupProcessors();
    } catch (...) {
      return 0;
    }
  }();
  if (quota >= 1 && quota < n) n = quota;
#endif
  return static_cast<int>(n);
}

void preciseWakeups() noexcept {
#if defined(PR_SET_TIMERSLACK)
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

// Memory

void preferLargePages(void* p, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const uintptr_t page = uintptr_t(1) << 21;  // the large page of x86-64 and of most arm64 kernels
  const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  if (!p || bytes < 2 * page || begin + bytes < begin) return;
  const uintptr_t lo = (begin + page - 1) & ~(page - 1), hi = (begin + bytes) & ~(page - 1);
  if (hi > lo)
    madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);  // advice: a refusal changes nothing
#else
  (void)p;
  (void)bytes;
#endif
}

// Locks and counts

void lock(Lock& l) noexcept { pthread_mutex_lock(&l.state); }
void unlock(Lock& l) noexcept { pthread_mutex_unlock(&l.state); }
bool tryLock(Lock& l) noexcept { return pthread_mutex_trylock(&l.state) == 0; }
void resetLockInChild(Lock& l) noexcept {
  const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  l.state = fresh;
}

bool atFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
#if defined(__GLIBC__)
  return pthread_atfork(prepare, parent, child) == 0;  // glibc drops them when the module is unloaded
#else
  (void)prepare;
  (void)parent;
  (void)child;
  return false;
#endif
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

void waitForCount(WaitCounter& counter, int64_t target) noexcept {
  // The other threads usually finish within microseconds of each other: spin that long first.
  for (int spin = 0; spin < 2000; ++spin)
    if (counter.value.load(std::memory_order_acquire) >= target) return;
  CounterSync* sync = static_cast<CounterSync*>(counter.impl);
  pthread_mutex_lock(&sync->lock);
  while (counter.value.load(std::memory_order_acquire) < target)
    pthread_cond_wait(&sync->changed, &sync->lock);
  pthread_mutex_unlock(&sync->lock);
}

// The clock and the alarm

int64_t monotonicNowNs() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A condition on CLOCK_MONOTONIC: the timed wait ends at an absolute time on that clock (on
// Linux a futex wait on an absolute high-resolution timer, as precise as clock_nanosleep).
struct Alarm {
  pthread_mutex_t lock;
  pthread_cond_t rung;
  bool pending;  // rung since the last wait returned
};

Alarm* createAlarm() noexcept {
  Alarm* a = static_cast<Alarm*>(std::malloc(sizeof(Alarm)));
  if (!a) return nullptr;
  pthread_condattr_t attributes;
  bool ok = pthread_condattr_init(&attributes) == 0;
  if (ok) {
    ok = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
         pthread_cond_init(&a->rung, &attributes) == 0;
    pthread_condattr_destroy(&attributes);
  }
  if (ok && pthread_mutex_init(&a->lock, nullptr) != 0) {
    pthread_cond_destroy(&a->rung);
    ok = false;
  }
  if (!ok) {
    std::free(a);
    return nullptr;
  }
  a->pending = false;
  return a;
}

void releaseAlarmInChild(Alarm* a) noexcept { std::free(a); }

void destroyAlarm(Alarm* a) noexcept {
  if (!a) return;
  pthread_cond_destroy(&a->rung);
  pthread_mutex_destroy(&a->lock);
  std::free(a);
}

void waitForAlarm(Alarm* a, int64_t deadlineNs) noexcept {
  timespec until;
  until.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
  until.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
  pthread_mutex_lock(&a->lock);
  while (!a->pending) {
    if (deadlineNs == kNoDeadline) {
      pthread_cond_wait(&a->rung, &a->lock);
    } else if (pthread_cond_timedwait(&a->rung, &a->lock, &until) == ETIMEDOUT ||
               monotonicNowNs() >= deadlineNs) {
      break;
    }
  }
  a->pending = false;
  pthread_mutex_unlock(&a->lock);
}

// The signal comes after the unlock: a waiter it wakes finds the lock free instead of waking
// only to wait for it, which would cost the ringing thread a second system call.
void ringAlarm(Alarm* a) noexcept {
  pthread_mutex_lock(&a->lock);
  a->pending = true;
  pthread_mutex_unlock(&a->lock);
  pthread_cond_signal(&a->rung);
}

// Shared libraries

LibraryHandle loadLibrary(const char* path) noexcept {
  if (!path || !*path) return nullptr;
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* findExport(LibraryHandle library, const char* name) noexcept { return dlsym(library, name); }

void releaseLibrary(LibraryHandle library) noexcept {
  if (library) dlclose(library);
}

}  // namespace platform
