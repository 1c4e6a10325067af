// POSIX side of the platform layer: dlopen, pthreads and absolute CLOCK_MONOTONIC waits.
//
// Pulse threads are started joinable and joined by the module itself (when the next thread
// starts, and in waitForThreads), never by the caller. A thread that only announced its end
// may still run a few instructions of this module; joining it is the one way to know it has
// left, so the module can be unloaded safely afterwards.
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

struct ThreadStart {
  void (*routine)(void*);
  void* arg;
  pthread_t id;
  ThreadStart* next;  // in the list of ended threads
};

pthread_mutex_t g_threadsLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_threadEnded = PTHREAD_COND_INITIALIZER;
size_t g_running = 0;
ThreadStart* g_ended = nullptr;  // ended, not yet joined

void* threadMain(void* p) {
  ThreadStart* start = static_cast<ThreadStart*>(p);
#if defined(PR_SET_TIMERSLACK)
  // Wake-ups on time: the default 50 us of timer slack would add to every pulse's width.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  start->routine(start->arg);
  pthread_mutex_lock(&g_threadsLock);
  start->next = g_ended;
  g_ended = start;
  --g_running;
  pthread_cond_broadcast(&g_threadEnded);
  pthread_mutex_unlock(&g_threadsLock);
  return nullptr;
}

// Joins the threads in `list` (each has ended or is about to return) and frees their records.
void joinAll(ThreadStart* list) {
  while (list) {
    ThreadStart* next = list->next;
    pthread_join(list->id, nullptr);
    delete list;
    list = next;
  }
}

ThreadStart* takeEnded() {
  ThreadStart* list = g_ended;
  g_ended = nullptr;
  return list;
}

}  // namespace

bool startThread(void (*routine)(void*), void* arg) {
  pthread_mutex_lock(&g_threadsLock);
  ThreadStart* ended = takeEnded();
  pthread_mutex_unlock(&g_threadsLock);
  joinAll(ended);

  ThreadStart* start = new (std::nothrow) ThreadStart{routine, arg, pthread_t(), nullptr};
  if (!start) return false;
  // Signals stay with the host's threads: the pulse thread starts with all of them blocked.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  // The lock is held across the start so that the thread cannot announce its end before its
  // id is stored and it is counted.
  pthread_mutex_lock(&g_threadsLock);
  int rc = pthread_create(&start->id, nullptr, threadMain, start);
  if (rc == 0) ++g_running;
  pthread_mutex_unlock(&g_threadsLock);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    delete start;
    return false;
  }
  return true;
}

void waitForThreads() {
  pthread_mutex_lock(&g_threadsLock);
  while (g_running > 0) pthread_cond_wait(&g_threadEnded, &g_threadsLock);
  ThreadStart* ended = takeEnded();
  pthread_mutex_unlock(&g_threadsLock);
  joinAll(ended);
}

namespace {
pthread_mutex_t g_portLock = PTHREAD_MUTEX_INITIALIZER;
}

void lockPort() { pthread_mutex_lock(&g_portLock); }
void unlockPort() { pthread_mutex_unlock(&g_portLock); }

}  // namespace trig
