// Stands between the serial port library and write(2) and poll(2) in a benchmark build of it
// (linked with --wrap=write,--wrap=poll): each call's start and end on the monotonic clock, kept in
// memory and written at unload to the file SERIALPORT_STAMPS names, as "<start ns> <end ns> <fd>
// <what> <result>" lines: <what> is the first byte written, or -1 for a poll (<result> then its
// revents, else the bytes taken). Two clock reads a call; nothing else is changed.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

extern "C" ssize_t __real_write(int fd, const void* bytes, size_t n);
extern "C" int __real_poll(pollfd* fds, nfds_t n, int timeoutMs);

namespace {

struct Stamp {
  int64_t startNs, endNs;
  int fd, what;
  long result;
};

constexpr size_t kStamps = 1 << 16;
Stamp g_stamps[kStamps];
std::atomic<size_t> g_count{0};

int64_t now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Dump {
  ~Dump() {
    const char* path = getenv("SERIALPORT_STAMPS");
    if (!path || !*path) return;
    FILE* f = fopen(path, "w");
    if (!f) return;
    const size_t n = g_count.load() < kStamps ? g_count.load() : kStamps;
    for (size_t i = 0; i < n; ++i)
      fprintf(f, "%lld %lld %d %d %ld\n", static_cast<long long>(g_stamps[i].startNs),
              static_cast<long long>(g_stamps[i].endNs), g_stamps[i].fd, g_stamps[i].what,
              g_stamps[i].result);
    fclose(f);
  }
} g_dump;

void stamp(int64_t start, int fd, int what, long result) {
  const int64_t end = now();
  const size_t i = g_count.fetch_add(1);
  if (i < kStamps) g_stamps[i] = Stamp{start, end, fd, what, result};
}

}  // namespace

extern "C" ssize_t __wrap_write(int fd, const void* bytes, size_t n) {
  const int64_t start = now();
  const ssize_t done = __real_write(fd, bytes, n);
  stamp(start, fd, n > 0 ? static_cast<const unsigned char*>(bytes)[0] : -2, static_cast<long>(done));
  return done;
}

extern "C" int __wrap_poll(pollfd* fds, nfds_t n, int timeoutMs) {
  const int64_t start = now();
  const int ready = __real_poll(fds, n, timeoutMs);
  stamp(start, n > 0 ? fds[0].fd : -1, -1, n > 0 && ready > 0 ? fds[0].revents : 0);
  return ready;
}
