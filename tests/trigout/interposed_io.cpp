// Stands between the serial port library and the system in a test build of it, linked with
// --wrap for write, ioctl, tcflush and close: a device that takes part of a command and then
// nothing for a while, a driver that holds a write, output that never leaves, and a record of what
// reached the system at a close. Controlled through the exports below, which the tests find in the loaded
// library.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#define INTERPOSED extern "C" __attribute__((visibility("default")))

extern "C" ssize_t __real_write(int fd, const void* bytes, size_t n);
extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __real_tcflush(int fd, int queue);
extern "C" int __real_close(int fd);

namespace {

std::atomic<long> g_take{-1};          // what the next write may take before the stall; -1: no cut
std::atomic<int64_t> g_stallNs{0};     // how long the device then takes nothing
std::atomic<int64_t> g_stallUntil{0};  // until when it takes nothing
std::atomic<int64_t> g_holdNs{0};      // how long the driver holds the next write before it takes it
std::atomic<int> g_queued{0};          // TIOCOUTQ's answer while above 0: output that never leaves
char g_record[512];                    // the file the flushes and closes are appended to

int64_t now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void record(const char* what) {
  if (!g_record[0]) return;
  if (FILE* f = fopen(g_record, "a")) {
    fprintf(f, "%lld %s\n", static_cast<long long>(now()), what);
    fclose(f);
  }
}

}  // namespace

// The next write takes at most `take` bytes; then the device takes nothing for stallMs.
INTERPOSED void InterposeCut(long take, int stallMs) {
  g_stallNs = static_cast<int64_t>(stallMs) * 1000000;
  g_take = take;
}

// The next write is held for holdMs before the device takes it whole.
INTERPOSED void InterposeHold(int holdMs) { g_holdNs = static_cast<int64_t>(holdMs) * 1000000; }

// TIOCOUTQ says `queued` bytes wait (0: the system's answer).
INTERPOSED void InterposeQueued(int queued) { g_queued = queued; }

// Output flushes and closes are appended to `path` as "<ns> flush-out" and "<ns> close".
INTERPOSED void InterposeRecord(const char* path) { snprintf(g_record, sizeof g_record, "%s", path); }

extern "C" ssize_t __wrap_write(int fd, const void* bytes, size_t n) {
  const int64_t hold = g_holdNs.exchange(0);
  if (hold > 0) {
    timespec t{static_cast<time_t>(hold / 1000000000), static_cast<long>(hold % 1000000000)};
    nanosleep(&t, nullptr);
  }
  if (now() < g_stallUntil) {
    errno = EAGAIN;
    return -1;
  }
  const long take = g_take.exchange(-1);
  if (take < 0 || static_cast<size_t>(take) >= n) {
    if (take >= 0) g_take = take - static_cast<long>(n);
    return __real_write(fd, bytes, n);
  }
  g_stallUntil = now() + g_stallNs;
  if (take == 0) {
    errno = EAGAIN;
    return -1;
  }
  return __real_write(fd, bytes, static_cast<size_t>(take));
}

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == TIOCOUTQ && g_queued > 0) {
    *static_cast<int*>(arg) = g_queued;
    return 0;
  }
  return __real_ioctl(fd, request, arg);
}

extern "C" int __wrap_tcflush(int fd, int queue) {
  if (queue == TCOFLUSH || queue == TCIOFLUSH) {
    record("flush-out");
    g_queued = 0;
  }
  return __real_tcflush(fd, queue);
}

extern "C" int __wrap_close(int fd) {
  if (isatty(fd)) record("close");
  return __real_close(fd);
}
