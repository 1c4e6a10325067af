// POSIX side of the platform layer: dlopen, pthreads and absolute CLOCK_MONOTONIC waits.
//
// Pulse threads are started joinable and joined by the module itself (when the next thread
// starts, and in waitForThreads), never by the caller. A thread that only announced its end
// may still run a few instructions of this module; joining it is the one way to know it has
// left, so the module can be unloaded safely afterwards. Threads whose pulse has ended park
// for a few seconds and take the next pulse (see kParkSeconds).
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <time.h>

#include <new>

#include "platform.h"

namespace trig {

// An empty name would give the main program's handle; it is a failed load, as on Windows.
LibraryHandle loadLibrary(const char* path) {
  if (!path || !*path) return nullptr;
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* findExport(LibraryHandle library, const char* name) { return dlsym(library, name); }

void releaseLibrary(LibraryHandle library) {
  if (library) dlclose(library);
}

int64_t monotonicNowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntilNs(int64_t deadlineNs) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
  ts.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

namespace {

// A routine to run, queued for a parked thread.
struct Work {
  void (*routine)(void*);
  void* arg;
  Work* next;
};

struct Worker {
  pthread_t id;
  Work* first;
  Worker* next;  // in the list of ended threads
};

// Starting a thread in the host's process cost about 45 us of the call (Octave's static TLS is
// set up by the starting thread); a thread whose pulse has ended therefore stays parked for a
// while and runs the next pulse handed to it. Each running pulse still has a thread of its own.
constexpr time_t kParkSeconds = 5;

pthread_mutex_t g_threadsLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;  // busy or live count dropped
pthread_cond_t g_workQueued = PTHREAD_COND_INITIALIZER;
size_t g_busy = 0;  // threads running a routine, or counted for one queued for them
size_t g_idle = 0;  // parked threads not counted for any queued routine
size_t g_live = 0;  // threads that have not announced their end
bool g_quit = false;
Work* g_queue = nullptr;
Worker* g_ended = nullptr;  // ended, not yet joined

void* threadMain(void* p) {
  Worker* self = static_cast<Worker*>(p);
#if defined(PR_SET_TIMERSLACK)
  // Wake-ups on time: the default 50 us of timer slack would add to every pulse's width.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  Work* work = self->first;
  for (;;) {
    work->routine(work->arg);
    delete work;
    work = nullptr;
    pthread_mutex_lock(&g_threadsLock);
    --g_busy;
    ++g_idle;
    pthread_cond_broadcast(&g_changed);
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += kParkSeconds;
    while (!g_queue && !g_quit)
      if (pthread_cond_timedwait(&g_workQueued, &g_threadsLock, &until) == ETIMEDOUT) break;
    if (g_queue) {  // the caller has already counted it busy
      work = g_queue;
      g_queue = work->next;
      pthread_mutex_unlock(&g_threadsLock);
      continue;
    }
    --g_idle;
    --g_live;
    self->next = g_ended;
    g_ended = self;
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_threadsLock);
    return nullptr;
  }
}

// Joins the threads in `list` (each has ended or is about to return) and frees their records.
void joinAll(Worker* list) {
  while (list) {
    Worker* next = list->next;
    pthread_join(list->id, nullptr);
    delete list;
    list = next;
  }
}

Worker* takeEnded() {
  Worker* list = g_ended;
  g_ended = nullptr;
  return list;
}

}  // namespace

bool startThread(void (*routine)(void*), void* arg) {
  Work* work = new (std::nothrow) Work{routine, arg, nullptr};
  if (!work) return false;
  pthread_mutex_lock(&g_threadsLock);
  Worker* ended = takeEnded();
  if (g_idle > 0) {
    work->next = g_queue;
    g_queue = work;
    --g_idle;
    ++g_busy;
    pthread_cond_signal(&g_workQueued);
    pthread_mutex_unlock(&g_threadsLock);
    joinAll(ended);
    return true;
  }
  pthread_mutex_unlock(&g_threadsLock);
  joinAll(ended);

  Worker* worker = new (std::nothrow) Worker{pthread_t(), work, nullptr};
  if (!worker) {
    delete work;
    return false;
  }
  // Signals stay with the host's threads: the pulse thread starts with all of them blocked.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  // The lock is held across the start so that the thread cannot announce its end before its
  // id is stored and it is counted.
  pthread_mutex_lock(&g_threadsLock);
  int rc = pthread_create(&worker->id, nullptr, threadMain, worker);
  if (rc == 0) {
    ++g_live;
    ++g_busy;
  }
  pthread_mutex_unlock(&g_threadsLock);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    delete work;
    delete worker;
    return false;
  }
  return true;
}

void waitForThreads() {
  pthread_mutex_lock(&g_threadsLock);
  while (g_busy > 0) pthread_cond_wait(&g_changed, &g_threadsLock);
  g_quit = true;  // parked threads end now
  pthread_cond_broadcast(&g_workQueued);
  while (g_live > 0) pthread_cond_wait(&g_changed, &g_threadsLock);
  g_quit = false;
  Worker* ended = takeEnded();
  pthread_mutex_unlock(&g_threadsLock);
  joinAll(ended);
}

namespace {
pthread_mutex_t g_portLock = PTHREAD_MUTEX_INITIALIZER;
}

void lockPort() { pthread_mutex_lock(&g_portLock); }
void unlockPort() { pthread_mutex_unlock(&g_portLock); }

}  // namespace trig
