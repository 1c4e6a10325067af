// The serial part of scripts/bench_trigout.sh (a command, not a test), on pseudo-terminals:
//
//   serial_bench far LINK OUT SECONDS
//     a far end: opens a pty pair, points the symlink LINK at its device and records each byte
//     as it arrives (woken from poll()) with its time, until SECONDS have passed or LINK is
//     removed; then writes them to OUT as "<monotonic ns> <byte>" lines;
//   serial_bench latency LIBRARY N
//     how long bytes take from the port library's write to the far end: N one-byte Out32 calls
//     through LIBRARY (the serial port library) to a pty, each timed from just before the call to
//     its arrival on the far end (which spins on its reads); prints "latency median <us> p99 <us>
//     (<n> bytes) driver check median <us> write median <us>": the last two are the library's own
//     time in IsInpOutDriverOpen and in Out32;
//   serial_bench breakdown LIBRARY N [cold]
//     where a pulse's write to a pty goes, with a far end that sleeps in poll() as a real reader
//     does (and as `far` does): N of each, medians and p99 in us: a bare one-byte write(2) from
//     C; the same with a far end that spins instead (no wake-up of a sleeping reader); the
//     library's port-aware driver check and its system calls (poll, tcflush of the input, and
//     ioctl(TIOCINQ), which would tell a hang-up and waiting answers as well); the library's
//     Out32 (one write(2) and its own work). 1 ms apart; with `cold`, 13 ms apart with 4 MiB read
//     in between, as a pulse in the host finds the caches after the interpreter's pause.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int far(const std::string& link, const std::string& out, double seconds) {
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 1;
  std::string staged = link + ".new";
  unlink(staged.c_str());
  if (symlink(ttyname(slave), staged.c_str()) != 0 || rename(staged.c_str(), link.c_str()) != 0) return 1;
  // Kept in memory and written at the end, so that the far end does little work of its own while
  // the pulses are measured.
  std::vector<std::pair<int64_t, unsigned char>> arrived;
  arrived.reserve(1 << 20);
  const int64_t end = nowNs() + static_cast<int64_t>(seconds * 1e9);
  while (nowNs() < end && exists(link)) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    unsigned char buf[4096];
    ssize_t n = read(master, buf, sizeof buf);
    const int64_t at = nowNs();
    for (ssize_t i = 0; i < n; ++i) arrived.emplace_back(at, buf[i]);
  }
  const std::string part = out + ".part";  // OUT appears whole
  FILE* f = fopen(part.c_str(), "w");
  if (!f) return 1;
  for (const auto& [at, byte] : arrived) fprintf(f, "%lld %u\n", static_cast<long long>(at), byte);
  return fclose(f) == 0 && rename(part.c_str(), out.c_str()) == 0 ? 0 : 1;
}

std::string hex(const std::string& s) {
  std::string out;
  char two[3];
  for (unsigned char c : s) {
    snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

int latency(const char* library, int n) {
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 1;
  std::string setting = "*,115200,byte," + hex(ttyname(slave)) + "," + hex("%d\\n");
  setenv("EEGMEX_SERIALPORT", setting.c_str(), 1);
  void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return 1;
  auto out = reinterpret_cast<void (*)(short, short)>(dlsym(lib, "Out32"));
  auto isOpen = reinterpret_cast<int (*)()>(dlsym(lib, "IsInpOutDriverOpen"));
  if (!out || !isOpen || !isOpen()) return 1;
  std::atomic<int64_t> arrivedAt{0};
  std::atomic<bool> stop{false};
  // The far end spins on a non-blocking read, so that its own wake-up is not counted, and yields
  // the processor between reads, so that the kernel worker that delivers the bytes is not kept
  // from running on a machine with two processors.
  fcntl(master, F_SETFL, O_NONBLOCK);
  std::thread reader([&] {
    while (!stop) {
      unsigned char buf[64];
      if (read(master, buf, sizeof buf) > 0) arrivedAt = nowNs();
      sched_yield();
    }
  });
  std::vector<double> us, checkUs, writeUs;
  for (int i = 0; i < n; ++i) {
    arrivedAt = 0;
    const int64_t check = nowNs();
    isOpen();  // as trigout asks before each pulse
    const int64_t before = nowNs();
    out(888, static_cast<short>(1 + i % 255));
    const int64_t after = nowNs();
    checkUs.push_back((before - check) / 1e3);
    writeUs.push_back((after - before) / 1e3);
    while (arrivedAt == 0 && nowNs() - before < 1000000000) {
      timespec pause{0, 20000};
      nanosleep(&pause, nullptr);
    }
    if (arrivedAt != 0) us.push_back((arrivedAt - before) / 1e3);
    timespec gap{0, 2000000};
    nanosleep(&gap, nullptr);
  }
  stop = true;
  reader.join();
  dlclose(lib);
  if (us.empty()) return 1;
  auto median = [](std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double m = median(us);
  printf("latency median %.1f p99 %.1f (%zu bytes) driver check median %.1f write median %.1f\n", m,
         us[std::min(us.size() - 1, static_cast<size_t>(0.99 * us.size()))], us.size(), median(checkUs),
         median(writeUs));
  return 0;
}

struct Spread {
  double median, p99;
};

Spread spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[std::min(v.size() - 1, static_cast<size_t>(0.99 * v.size()))]};
}

// Between two timed calls: a pause, and with `cold` the caches filled with other data.
struct Gap {
  bool cold = false;
  std::vector<unsigned char> other = std::vector<unsigned char>(4 << 20);
  void operator()() {
    timespec gap{0, cold ? 13000000 : 1000000};
    nanosleep(&gap, nullptr);
    if (!cold) return;
    unsigned sum = 0;
    for (size_t i = 0; i < other.size(); i += 64) sum += other[i]++;
    sink = sum;
  }
  volatile unsigned sink = 0;
};

// Times f() n times, a gap apart (so that each write finds a reader asleep again), in us.
template <typename F>
Spread timed(int n, Gap& gap, F f) {
  std::vector<double> us;
  for (int i = 0; i < n; ++i) {
    gap();
    const int64_t before = nowNs();
    f(i);
    us.push_back((nowNs() - before) / 1e3);
  }
  return spread(us);
}

int breakdown(const char* library, int n, bool cold) {
  Gap gap;
  gap.cold = cold;
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 1;
  fcntl(master, F_SETFL, O_NONBLOCK);
  std::atomic<bool> stop{false}, spin{false};
  std::thread reader([&] {
    unsigned char buf[4096];
    while (!stop) {
      if (spin) {
        (void)!read(master, buf, sizeof buf);
        sched_yield();
        continue;
      }
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) (void)!read(master, buf, sizeof buf);
    }
  });
  const std::string path = ttyname(slave);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return 1;
  termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  auto bare = [&](int i) {
    unsigned char b = static_cast<unsigned char>(1 + i % 255);
    (void)!write(fd, &b, 1);
  };
  const Spread sleeping = timed(n, gap, bare);
  spin = true;
  const Spread spinning = timed(n, gap, bare);
  spin = false;
  const Spread pollOut = timed(n, gap, [&](int) {
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 0);
  });
  const Spread flushIn = timed(n, gap, [&](int) { tcflush(fd, TCIFLUSH); });
  const Spread inQueue = timed(n, gap, [&](int) {
    int received = 0;
    ioctl(fd, TIOCINQ, &received);
  });
  close(fd);

  std::string setting = "*,115200,byte," + hex(path) + "," + hex("%d\\n");
  setenv("EEGMEX_SERIALPORT", setting.c_str(), 1);
  void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return 1;
  auto out = reinterpret_cast<void (*)(short, short)>(dlsym(lib, "Out32"));
  auto portOpen = reinterpret_cast<int (*)(short)>(dlsym(lib, "PortLibraryPortOpen"));
  if (!out || !portOpen || !portOpen(888)) return 1;
  const Spread check = timed(n, gap, [&](int) { portOpen(888); });
  const Spread write = timed(n, gap, [&](int i) { out(888, static_cast<short>(1 + i % 255)); });
  stop = true;
  reader.join();
  dlclose(lib);
  auto line = [](const char* what, Spread s) {
    printf("  %-62s median %6.1f  p99 %6.1f\n", what, s.median, s.p99);
  };
  printf("where a pulse's write to a pty goes, us (%d of each, %s)\n", n,
         cold ? "13 ms apart, caches filled in between" : "1 ms apart");
  line("bare one-byte write(2) from C, far end asleep in poll()", sleeping);
  line("bare one-byte write(2) from C, far end spinning", spinning);
  line("poll(POLLOUT, 0) on the device (the check's hang-up test)", pollOut);
  line("tcflush(TCIFLUSH) (the check's discarding of answers)", flushIn);
  line("ioctl(TIOCINQ) (answers waiting; fails on a hang-up)", inQueue);
  line("the library's driver check for one port (PortLibraryPortOpen)", check);
  line("the library's Out32 (one write(2) with its own work)", write);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 4 || (argc == 5 && std::string(argv[4]) == "cold")) && std::string(argv[1]) == "breakdown")
    return breakdown(argv[2], atoi(argv[3]), argc == 5);
  if (argc == 5 && std::string(argv[1]) == "far") return far(argv[2], argv[3], atof(argv[4]));
  if (argc == 4 && std::string(argv[1]) == "latency") return latency(argv[2], atoi(argv[3]));
  fprintf(
      stderr,
      "usage: serial_bench far LINK OUT SECONDS | serial_bench latency LIBRARY N | serial_bench breakdown "
      "LIBRARY N [cold]\n");
  return 2;
}
