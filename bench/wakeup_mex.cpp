// late = eegmex_wakeup(n, ms, gap_ms): how late this machine wakes a thread that sleeps to an
// absolute time on the monotonic clock, without timer slack: n sleeps of ms milliseconds, gap_ms
// apart; late(i) in milliseconds. The floor under any pulse width, measured beside trigout's.
#include <pthread.h>
#include <sys/prctl.h>
#include <time.h>

#include <cstdint>
#include <vector>

#include "mexapi.h"

namespace {

struct Sleeps {
  int64_t count = 0, sleepNs = 0, gapNs = 0;
  double* late = nullptr;
};

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntil(int64_t ns, int flags) {
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, flags, &ts, nullptr) != 0) {
  }
}

void* sleeper(void* p) {
  Sleeps& s = *static_cast<Sleeps*>(p);
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  for (int64_t i = 0; i < s.count; ++i) {
    const int64_t deadline = nowNs() + s.sleepNs;
    sleepUntil(deadline, TIMER_ABSTIME);
    s.late[i] = static_cast<double>(nowNs() - deadline) / 1e6;
    sleepUntil(nowNs() + s.gapNs, TIMER_ABSTIME);
  }
  return nullptr;
}

}  // namespace

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)nlhs;
  if (nrhs != 3) mexErrMsgTxt("Three input arguments required: n, ms, gap_ms.");
  const double n = mxGetScalar(prhs[0]), ms = mxGetScalar(prhs[1]), gap = mxGetScalar(prhs[2]);
  if (!(n >= 0 && n <= 1e6 && ms >= 0 && ms <= 1e4 && gap >= 0 && gap <= 1e4))
    mexErrMsgTxt("n: 0 to 1e6; ms and gap_ms: 0 to 1e4.");
  mxArray* result = mxCreateDoubleMatrix(static_cast<mwSize>(n), 1, mxREAL);
  Sleeps s;
  s.count = static_cast<int64_t>(n);
  s.sleepNs = static_cast<int64_t>(ms * 1e6);
  s.gapNs = static_cast<int64_t>(gap * 1e6);
  s.late = mxGetPr(result);
  pthread_t thread;
  bool started = pthread_create(&thread, nullptr, sleeper, &s) == 0;
  if (started) pthread_join(thread, nullptr);
  if (!started) mexErrMsgTxt("Could not start the sleeping thread.");
  plhs[0] = result;
}
