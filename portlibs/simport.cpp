// A simulated port I/O library: no hardware, but every port keeps its value (Inp32 reads back
// what Out32 wrote) and every write can be logged with a monotonic timestamp.
//
// Environment:
//  SIMPORT_LOG            : file to which each write is appended as "<ns> <port> <value> <tag>\n"
//                           (<ns> monotonic nanoseconds, the clock pulse waits use); unset: no log
//  SIMPORT_DRIVER_CLOSED  : "1" makes IsInpOutDriverOpen report 0
//  SIMPORT_WRITE_US       : each Out32 takes this many microseconds more (a slow port, for tests
//                           that widen the windows between writers)
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
FILE* g_log = nullptr;
char g_logPath[4096];

// Appends one write to the log named by SIMPORT_LOG (reopened when the name changes). Locked.
[[maybe_unused]] void logWrite(int64_t ns, unsigned port, unsigned value) {
  char path[sizeof g_logPath];
  if (!readEnv("SIMPORT_LOG", path, sizeof path) || path[0] == '\0') path[0] = '\0';
  if (!g_log || strcmp(path, g_logPath) != 0) {
    if (g_log) fclose(g_log);
    g_log = nullptr;
    strcpy(g_logPath, path);
    if (path[0] != '\0') g_log = fopen(path, "a");
  }
  if (!g_log) return;
  fprintf(g_log, "%lld %u %u %s\n", static_cast<long long>(ns), port, value, SIMPORT_TAG);
  fflush(g_log);
}

// The log closes when the library is unloaded (its last user released it), so loading and
// releasing the library again and again leaves no descriptor behind.
struct LogCloser {
  ~LogCloser() {
    if (g_log) fclose(g_log);
    g_log = nullptr;
  }
} g_logCloser;

}  // namespace

#ifndef SIMPORT_NO_OUT32
SIMPORT_EXPORT void SIMPORT_CALL Out32(short port, short value) {
  lock();
  int64_t ns = nowNs();
  unsigned p = static_cast<uint16_t>(port);
  unsigned v = static_cast<uint8_t>(value);
  g_ports[p] = static_cast<unsigned char>(v);
  logWrite(ns, p, v);
  char slow[16];
  if (readEnv("SIMPORT_WRITE_US", slow, sizeof slow) && atol(slow) > 0) pauseUs(atol(slow));
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
  char v[8];
  return readEnv("SIMPORT_DRIVER_CLOSED", v, sizeof v) && strcmp(v, "1") == 0 ? 0 : 1;
#endif
}
#endif
