// The system calls under a pulse through the serial port library, made from the host's own
// process, each timed inside the call (the trigout benchmark's breakdown; native only, POSIX):
//
//   eegmex_pty(DEVICE, LIBRARY)  opens DEVICE (a terminal) raw and non-blocking, as the serial
//                                port library opens its devices, and loads LIBRARY (the serial
//                                port library, the same one IO_LIB names: one instance per process)
//   eegmex_pty(1, value, ms)     one bare write(2) of the byte `value` to DEVICE
//   eegmex_pty(2, value, ms)     one bare poll(2) of DEVICE for input, output and a hang-up, as the
//                                library's driver check makes it
//   eegmex_pty(4, value, ms)     one bare ioctl(2) of DEVICE for the bytes it has received (TIOCINQ),
//                                which a hang-up fails as well
//   eegmex_pty(3, value, ms)     the library's port-aware driver check for port 887, then its
//                                Out32(887, value): the library's part of a pulse, without trigout
//   t = eegmex_pty()             the times recorded since the last such call, one row a call:
//                                [op, ns of the system call or of the check, ns of Out32 or 0]
//
// Operations 1 to 3 take the same three numbers as the pulse call, so that the call's own cost is
// the empty module's; they record into room reserved at the open and allocate nothing.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "mexapi.h"

namespace {

struct Sample {
  int op;
  int64_t firstNs, secondNs;
};

struct Pty {
  int fd = -1;
  void* library = nullptr;
  int (*portOpen)(short) = nullptr;
  void (*out32)(short, short) = nullptr;
  std::vector<Sample> samples;
};

Pty g_pty;

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void closeAll() {
  if (g_pty.fd >= 0) close(g_pty.fd);
  if (g_pty.library) dlclose(g_pty.library);
  g_pty = Pty();
}

void record(int op, int64_t first, int64_t second) {
  if (g_pty.samples.size() < g_pty.samples.capacity()) g_pty.samples.push_back(Sample{op, first, second});
}

void openBoth(const mxArray* device, const mxArray* library) {
  char path[1024], lib[1024];
  if (!mxIsChar(device) || !mxIsChar(library) || mxGetString(device, path, sizeof path) != 0 ||
      mxGetString(library, lib, sizeof lib) != 0)
    mexErrMsgTxt("DEVICE and LIBRARY must be texts.");
  closeAll();
  mexAtExit(closeAll);
  g_pty.fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (g_pty.fd < 0) mexErrMsgTxt("Cannot open DEVICE.");
  termios t;
  if (tcgetattr(g_pty.fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(g_pty.fd, TCSANOW, &t);
  }
  g_pty.library = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
  if (g_pty.library) {
    g_pty.portOpen = reinterpret_cast<int (*)(short)>(dlsym(g_pty.library, "PortLibraryPortOpen"));
    g_pty.out32 = reinterpret_cast<void (*)(short, short)>(dlsym(g_pty.library, "Out32"));
  }
  if (!g_pty.portOpen || !g_pty.out32) mexErrMsgTxt("LIBRARY has no PortLibraryPortOpen or Out32.");
  g_pty.samples.reserve(1 << 16);
}

}  // namespace

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)nlhs;
  if (nrhs == 2) return openBoth(prhs[0], prhs[1]);
  if (nrhs == 0) {
    mxArray* result = mxCreateDoubleMatrix(static_cast<int>(g_pty.samples.size()), 3, mxREAL);
    double* out = mxGetPr(result);
    const size_t n = g_pty.samples.size();
    for (size_t i = 0; i < n; ++i) {
      out[i] = g_pty.samples[i].op;
      out[n + i] = static_cast<double>(g_pty.samples[i].firstNs);
      out[2 * n + i] = static_cast<double>(g_pty.samples[i].secondNs);
    }
    g_pty.samples.clear();
    plhs[0] = result;
    return;
  }
  if (nrhs != 3 || g_pty.fd < 0)
    mexErrMsgTxt("eegmex_pty(DEVICE, LIBRARY) first; then eegmex_pty(op, value, ms).");
  const int op = static_cast<int>(mxGetScalar(prhs[0]));
  const unsigned char value = static_cast<unsigned char>(mxGetScalar(prhs[1]));
  if (op == 1) {
    const int64_t before = nowNs();
    (void)!write(g_pty.fd, &value, 1);
    record(op, nowNs() - before, 0);
  } else if (op == 2) {
    pollfd p{g_pty.fd, POLLIN | POLLOUT, 0};
    const int64_t before = nowNs();
    poll(&p, 1, 0);
    record(op, nowNs() - before, 0);
  } else if (op == 4) {
    int received = 0;
    const int64_t before = nowNs();
    ioctl(g_pty.fd, TIOCINQ, &received);
    record(op, nowNs() - before, 0);
  } else if (op == 3) {
    const int64_t before = nowNs();
    g_pty.portOpen(887);
    const int64_t between = nowNs();
    g_pty.out32(887, value);
    record(op, between - before, nowNs() - between);
  }
}
