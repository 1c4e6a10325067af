// A simulated port I/O library: no hardware, but every port keeps its value (Inp32 reads back
// what Out32 wrote) and every write can be logged with a monotonic timestamp.
//
// Environment:
//  SIMPORT_LOG            : file to which each write is appended as "<ns> <port> <value> <tag>\n"
//                           (<ns> monotonic nanoseconds, the clock pulse waits use, taken at the
//                           write); unset: no log.
//  SIMPORT_DRIVER_CLOSED  : "1" makes IsInpOutDriverOpen report 0
//  SIMPORT_WRITE_US       : each Out32 takes this many microseconds more (a slow port, for tests
//                           that widen the windows between writers)
// They are read when the library is loaded and by every IsInpOutDriverOpen, which trigout calls on
// its calling thread on every call; never by Out32, which runs on trigout's timer thread too,
// where reading the environment would race with the host changing it. So a write goes to the
// file named at the last driver check before it.
//
// The log must not slow down what it observes: on POSIX a write only adds a record in memory,
// and a background thread appends the records to the file within about 50 ms. Everything
// is in the file once the library is unloaded, and when SimportFlushLog (an extra export, for
// tests) returns. On Windows each write goes to the file at once: a thread could not be joined
// while the library unloads there.
//
// Compile-time variants for tests: SIMPORT_NO_OUT32, SIMPORT_NO_INP32, SIMPORT_NO_ISOPEN (the
// export is missing), SIMPORT_CLOSED (the driver always reports closed), SIMPORT_TAG (the log tag).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#define SIMPORT_EXPORT extern "C" __declspec(dllexport)
#if defined(__i386__) || defined(_M_IX86)
#define SIMPORT_CALL __stdcall
#else
#define SIMPORT_CALL
#endif
#else
#include <pthread.h>
#include <signal.h>
#include <time.h>
#define SIMPORT_EXPORT extern "C" __attribute__((visibility("default")))
#define SIMPORT_CALL
#endif

#ifndef SIMPORT_TAG
#define SIMPORT_TAG "sim"
#endif

namespace {

// ---- the few system-specific bits -------------------------------------------------------
#if defined(_WIN32)
SRWLOCK g_lock = SRWLOCK_INIT;
void lock() { AcquireSRWLockExclusive(&g_lock); }
void unlock() { ReleaseSRWLockExclusive(&g_lock); }
[[maybe_unused]] int64_t nowNs() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return (c.QuadPart / f.QuadPart) * 1000000000 + (c.QuadPart % f.QuadPart) * 1000000000 / f.QuadPart;
}
// The process environment itself (the host's C runtime may keep a copy of its own).
[[maybe_unused]] void pauseUs(long us) { Sleep(static_cast<DWORD>((us + 999) / 1000)); }
bool readEnv(const char* name, char* buf, size_t size) {
  DWORD n = GetEnvironmentVariableA(name, buf, static_cast<DWORD>(size));
  return n > 0 && n < size;
}
#else
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
void lock() { pthread_mutex_lock(&g_lock); }
void unlock() { pthread_mutex_unlock(&g_lock); }
[[maybe_unused]] int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
[[maybe_unused]] void pauseUs(long us) {
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  nanosleep(&ts, nullptr);
}
bool readEnv(const char* name, char* buf, size_t size) {
  const char* v = getenv(name);
  if (!v || strlen(v) >= size) return false;
  strcpy(buf, v);
  return true;
}
#endif
// ------------------------------------------------------------------------------------------

unsigned char g_ports[65536];

// The settings of the last driver check (locked).
char g_logSetting[4096];  // SIMPORT_LOG, or ""
long g_writeUs = 0;       // SIMPORT_WRITE_US

// Calling thread (the library's load, IsInpOutDriverOpen).
void readSettings() {
  char path[sizeof g_logSetting], slow[16];
  if (!readEnv("SIMPORT_LOG", path, sizeof path)) path[0] = '\0';
  const long us = readEnv("SIMPORT_WRITE_US", slow, sizeof slow) ? atol(slow) : 0;
  lock();
  strcpy(g_logSetting, path);
  g_writeUs = us;
  unlock();
}

// The open log file, used by one writer at a time (see the two platforms below).
FILE* g_log = nullptr;
char g_logPath[4096];

// Appends one write to the file `path` names, opening it when the name changed.
[[maybe_unused]] void appendLine(const char* path, int64_t ns, unsigned port, unsigned value) {
  if (!g_log || strcmp(path, g_logPath) != 0) {
    if (g_log) fclose(g_log);
    g_log = nullptr;
    strcpy(g_logPath, path);
    g_log = fopen(path, "a");
  }
  if (g_log) fprintf(g_log, "%lld %u %u %s\n", static_cast<long long>(ns), port, value, SIMPORT_TAG);
}

void closeLog() {
  if (g_log) fclose(g_log);
  g_log = nullptr;
  g_logPath[0] = '\0';
}

#if defined(_WIN32)

// Locked: the write is in the file when Out32 returns.
[[maybe_unused]] void logWrite(int64_t ns, unsigned port, unsigned value) {
  if (g_logSetting[0] == '\0') return;
  appendLine(g_logSetting, ns, port, value);
  if (g_log) fflush(g_log);
}
void flushLog() {}

// The log closes when the library is unloaded (its last user released it), so loading and
// releasing the library again and again leaves no descriptor behind.
struct LogCloser {
  ~LogCloser() { closeLog(); }
} g_logCloser;

#else

struct Record {
  int64_t ns;
  uint16_t port;
  uint8_t value;
  uint16_t file;  // index into Pending::paths
};

// Writes not yet in a file, in the order they were made, with the files they go to.
struct Pending {
  Record* records = nullptr;
  size_t count = 0, capacity = 0;
  char (*paths)[sizeof g_logPath] = nullptr;
  size_t pathCount = 0, pathCapacity = 0;
};

Pending g_pending;    // guarded by g_lock
bool g_lost = false;  // a record found no memory: said once on stderr

// The background flusher. g_writing makes one writer of the file at a time and keeps batches in
// order; it is taken before g_lock, never while g_lock is held.
pthread_mutex_t g_writing = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_wake;                            // signalled only when the flusher sleeps without end
#if defined(__APPLE__)
constexpr clockid_t kWaitClock = CLOCK_REALTIME;  // the only clock of a condition there
#else
constexpr clockid_t kWaitClock = CLOCK_MONOTONIC;
#endif
pthread_t g_flusher;
bool g_flusherStarted = false, g_flusherIdle = false, g_stop = false;
int64_t g_lastRecordNs = 0;

constexpr int64_t kFlushPeriodNs = 50000000;  // records reach the file within about this
constexpr int64_t kIdleAfterNs = 1000000000;  // no writes this long: sleep until the next one

// Locked. Index of `path` among the pending files, added when new; -1 without memory.
int pathIndex(const char* path) {
  Pending& p = g_pending;
  if (p.pathCount > 0 && strcmp(p.paths[p.pathCount - 1], path) == 0)
    return static_cast<int>(p.pathCount - 1);
  if (p.pathCount == 65535) return -1;
  if (p.pathCount == p.pathCapacity) {
    size_t n = p.pathCapacity ? 2 * p.pathCapacity : 2;
    void* grown = realloc(p.paths, n * sizeof *p.paths);
    if (!grown) return -1;
    p.paths = static_cast<char(*)[sizeof g_logPath]>(grown);
    p.pathCapacity = n;
  }
  strcpy(p.paths[p.pathCount], path);
  return static_cast<int>(p.pathCount++);
}

// Locked. False without memory.
bool addRecord(const Record& r) {
  Pending& p = g_pending;
  if (p.count == p.capacity) {
    size_t n = p.capacity ? 2 * p.capacity : 256;
    void* grown = realloc(p.records, n * sizeof *p.records);
    if (!grown) return false;
    p.records = static_cast<Record*>(grown);
    p.capacity = n;
  }
  p.records[p.count++] = r;
  return true;
}

// Takes every pending record and writes it out, in order. With g_writing held.
void writePending() {
  lock();
  Pending batch = g_pending;
  g_pending = Pending();
  unlock();
  for (size_t i = 0; i < batch.count; ++i) {
    const Record& r = batch.records[i];
    appendLine(batch.paths[r.file], r.ns, r.port, r.value);
  }
  if (g_log) fflush(g_log);
  free(batch.records);
  free(batch.paths);
}

void flushLog() {
  pthread_mutex_lock(&g_writing);
  writePending();
  pthread_mutex_unlock(&g_writing);
}

int64_t sinceNs(int64_t then) { return nowNs() - then; }

void* flusherRoutine(void*) {
  lock();
  while (!g_stop) {
    if (g_pending.count == 0 && sinceNs(g_lastRecordNs) >= kIdleAfterNs) {
      g_flusherIdle = true;
      pthread_cond_wait(&g_wake, &g_lock);
      g_flusherIdle = false;
      continue;
    }
    timespec ts;
    clock_gettime(kWaitClock, &ts);
    const int64_t until = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec + kFlushPeriodNs;
    ts.tv_sec = static_cast<time_t>(until / 1000000000);
    ts.tv_nsec = static_cast<long>(until % 1000000000);
    pthread_cond_timedwait(&g_wake, &g_lock, &ts);
    if (g_pending.count == 0) continue;
    unlock();
    flushLog();
    lock();
  }
  unlock();
  return nullptr;
}

// Locked. The flusher starts with the first record; without it (no thread to be had) the
// records wait for SimportFlushLog or the unload.
void startFlusher() {
  if (g_flusherStarted) return;
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
#if !defined(__APPLE__)
  pthread_condattr_setclock(&attributes, kWaitClock);
#endif
  pthread_cond_init(&g_wake, &attributes);
  pthread_condattr_destroy(&attributes);
  // The flusher takes no signals of the host's.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  g_flusherStarted = pthread_create(&g_flusher, nullptr, flusherRoutine, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!g_flusherStarted) pthread_cond_destroy(&g_wake);
#if defined(__linux__)
  if (g_flusherStarted) pthread_setname_np(g_flusher, "simport log");  // named before anyone looks
#endif
}

// Locked.
[[maybe_unused]] void logWrite(int64_t ns, unsigned port, unsigned value) {
  if (g_logSetting[0] == '\0') return;
  const int file = pathIndex(g_logSetting);
  if (file < 0 || !addRecord(Record{ns, static_cast<uint16_t>(port), static_cast<uint8_t>(value),
                                    static_cast<uint16_t>(file)})) {
    if (!g_lost) fprintf(stderr, "simport: out of memory, a write was not logged\n");
    g_lost = true;
    return;
  }
  g_lastRecordNs = ns;
  startFlusher();
  if (g_flusherStarted && g_flusherIdle) pthread_cond_signal(&g_wake);
}

// At unload (its last user released the library): the flusher ends, every record is written and
// the log is closed, so loading and releasing the library again and again leaves no thread or
// descriptor behind.
struct LogCloser {
  ~LogCloser() {
    lock();
    const bool started = g_flusherStarted;
    g_stop = true;
    if (started) pthread_cond_signal(&g_wake);
    unlock();
    if (started) {
      pthread_join(g_flusher, nullptr);
      pthread_cond_destroy(&g_wake);
    }
    flushLog();
    closeLog();
  }
} g_logCloser;

#endif

}  // namespace

#ifndef SIMPORT_NO_OUT32
SIMPORT_EXPORT void SIMPORT_CALL Out32(short port, short value) {
  lock();
  int64_t ns = nowNs();
  unsigned p = static_cast<uint16_t>(port);
  unsigned v = static_cast<uint8_t>(value);
  g_ports[p] = static_cast<unsigned char>(v);
  logWrite(ns, p, v);
  if (g_writeUs > 0) pauseUs(g_writeUs);
  unlock();
}
#endif

#ifndef SIMPORT_NO_INP32
SIMPORT_EXPORT short SIMPORT_CALL Inp32(short port) {
  lock();
  short v = g_ports[static_cast<uint16_t>(port)];
  unlock();
  return v;
}
#endif

#ifndef SIMPORT_NO_ISOPEN
SIMPORT_EXPORT int SIMPORT_CALL IsInpOutDriverOpen() {
#ifdef SIMPORT_CLOSED
  return 0;
#else
  readSettings();
  char v[8];
  return readEnv("SIMPORT_DRIVER_CLOSED", v, sizeof v) && strcmp(v, "1") == 0 ? 0 : 1;
#endif
}
#endif

namespace {
struct SettingsAtLoad {
  SettingsAtLoad() { readSettings(); }
} g_settingsAtLoad;
}  // namespace

// Writes every logged write to its file before it returns (tests read the log with it).
SIMPORT_EXPORT void SIMPORT_CALL SimportFlushLog() { flushLog(); }
