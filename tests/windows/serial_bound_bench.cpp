// How long the Windows build of the serial port library holds a write when the device takes
// nothing: a benchmark command, run by scripts/bench_serial_wine.sh under wine, not a test.
//
//   serial_bound_bench BUILD_DIR COM N
//
// COM must be a port whose far end never reads (the script maps it to a pty whose master is open
// and never read, so the pty's buffer fills and writes stall). Byte protocol, port 888. Steps:
//  1. open the device (PortLibraryPortOpen) and write one byte at a time with Out32 until 20
//     calls in a row take 1 ms or more: the buffer is full;
//  2. N calls of Out32, each timed, then N driver checks (PortLibraryPortOpen), each timed;
//  3. N pulses through trigout (the module loads the same library, so it finds the same open,
//     full device), trigout(888, v, 1), 30 ms apart so that each pulse's reset has gone; each
//     call is timed whole (it raises the library's "took no data" report on most calls).
// Prints median, p99 and max of each beside the library's write bound.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../trigout/serial_setting.h"
#include "mexhost.h"

namespace {

using Out32Fn = void(__stdcall*)(short, short);
using PortOpenFn = int(__stdcall*)(short);

int64_t nowNs() {
  static LARGE_INTEGER f = [] {
    LARGE_INTEGER q;
    QueryPerformanceFrequency(&q);
    return q;
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return (c.QuadPart / f.QuadPart) * 1000000000 + (c.QuadPart % f.QuadPart) * 1000000000 / f.QuadPart;
}

void report(const char* what, std::vector<int64_t> ns) {
  if (ns.empty()) return;
  std::sort(ns.begin(), ns.end());
  const size_t n = ns.size();
  const size_t p99 = std::min(n - 1, (n * 99 + 99) / 100 - 1);
  std::printf("%-44s n=%zu median=%.3f ms p99=%.3f ms max=%.3f ms\n", what, n, ns[n / 2] / 1e6, ns[p99] / 1e6,
              ns[n - 1] / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BUILD_DIR COM N\n", argv[0]);
    return 2;
  }
  const std::string build = argv[1], com = argv[2];
  const int n = std::atoi(argv[3]);
  if (n <= 0) return 2;
  SetEnvironmentVariableA("EEGMEX_SERIALPORT", ("*,115200,byte," + hex(com) + "," + hex("%d\\n")).c_str());
  const std::string lib = build + "\\portlibs\\serialport.dll";
  HMODULE h = LoadLibraryA(lib.c_str());
  if (!h) {
    std::fprintf(stderr, "cannot load %s\n", lib.c_str());
    return 1;
  }
  auto out32 = reinterpret_cast<Out32Fn>(reinterpret_cast<void*>(GetProcAddress(h, "Out32")));
  auto portOpen =
      reinterpret_cast<PortOpenFn>(reinterpret_cast<void*>(GetProcAddress(h, "PortLibraryPortOpen")));
  if (!out32 || !portOpen || !portOpen(888)) {
    std::fprintf(stderr, "the library cannot open %s\n", com.c_str());
    return 1;
  }
  std::printf("%d-bit, %s, write bound setting %d ms\n", static_cast<int>(8 * sizeof(void*)), com.c_str(), 2);

  // 1. Fill the device's buffer.
  std::vector<int64_t> taking;
  long calls = 0;
  int slowInARow = 0;
  const int64_t fillEnd = nowNs() + 120 * 1000000000LL;
  while (slowInARow < 20 && nowNs() < fillEnd) {
    const int64_t t0 = nowNs();
    out32(888, 1);
    const int64_t dt = nowNs() - t0;
    if (taking.size() < static_cast<size_t>(n)) taking.push_back(dt);
    slowInARow = dt >= 1000000 ? slowInARow + 1 : 0;
    ++calls;
  }
  if (slowInARow < 20) {
    std::fprintf(stderr, "the device's buffer did not fill in 120 s (%ld calls)\n", calls);
    return 1;
  }
  std::printf("buffer full after %ld one-byte calls\n", calls - 20);
  report("Out32, device taking data (first calls)", taking);

  // 2. Out32 and the driver check against the full buffer.
  std::vector<int64_t> writes, checks;
  for (int i = 0; i < n; ++i) {
    const int64_t t0 = nowNs();
    out32(888, static_cast<short>(1 + i % 255));
    writes.push_back(nowNs() - t0);
  }
  for (int i = 0; i < n; ++i) {
    const int64_t t0 = nowNs();
    portOpen(888);
    checks.push_back(nowNs() - t0);
  }
  report("Out32, device full", writes);
  report("PortLibraryPortOpen (driver check), full", checks);

  // 3. Whole pulses through trigout, which loads the same library and so the same device.
  mexhost::setGlobal("IO_LIB", mexhost::charArray(lib).get());
  {
    mexhost::Module trigout(build + "\\trigout" + (sizeof(void*) == 4 ? ".mexw32" : ".mexw64"));
    std::vector<int64_t> pulses;
    int failed = 0;
    for (int i = 0; i <= n; ++i) {
      mexhost::Array p = mexhost::scalar(888), v = mexhost::scalar(1 + i % 255), d = mexhost::scalar(1);
      const int64_t t0 = nowNs();
      mexhost::CallResult r = trigout.call(0, {p.get(), v.get(), d.get()});
      const int64_t dt = nowNs() - t0;
      if (i > 0) {  // the first call binds the library
        pulses.push_back(dt);
        failed += r.failed ? 1 : 0;
      }
      Sleep(30);
    }
    report("trigout(888, v, 1) whole call, full", pulses);
    std::printf("of these, %d raised the library's report\n", failed);
    trigout.unload();
  }
  mexhost::clearGlobal("IO_LIB");
  FreeLibrary(h);
  return 0;
}
