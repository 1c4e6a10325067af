// trigout(port, value[, duration[, delay]]): a trigger pulse on a parallel port through the port
// I/O library named by the global IO_LIB. The pulse's waits and reset run on the module's timer
// thread; the call returns once the pulse is scheduled.
//
// Errors are raised only at the end of mexFunction, when nothing of ours is alive: a library
// loaded by this call and its request are released before.
#include <cstdint>
#include <cstring>
#include <new>

#include "arguments.h"
#include "messages.h"
#include "mexapi.h"
#include "mxelement.h"
#include "port_library.h"
#include "pulse.h"

namespace {

// The first element of a real numeric array, read by its class and converted to double.
// False for an empty, complex, sparse or non-numeric array. The class is asked once: each
// question to the host is a call into it, and after a pause none of them is cheap.
bool firstElement(const mxArray* a, double* out) {
  if (!a) return false;
  const mxClassID c = mxGetClassID(a);
  if (!mxClassIsNumeric(c) || mxIsComplex(a) || mxIsSparse(a) || mxGetNumberOfElements(a) == 0) return false;
  const void* data = mxGetData(a);
  if (!data) return false;
  *out = mxElementAsDouble(c, data, 0);
  return true;
}

const char* readMilliseconds(const mxArray* a, int32_t* ms, trig::Message notNumber, trig::Message negative,
                             trig::Message tooLarge) {
  double x;
  if (!firstElement(a, &x)) return trig::text(notNumber);
  switch (trig::toMilliseconds(x, ms)) {
    case trig::MillisecondsStatus::ok: return nullptr;
    case trig::MillisecondsStatus::notFinite: return trig::text(notNumber);
    case trig::MillisecondsStatus::negative: return trig::text(negative);
    case trig::MillisecondsStatus::tooLarge: return trig::text(tooLarge);
  }
  return trig::text(notNumber);
}

// Reads port, value, duration and delay into `r`; the message of the first bad one, or null.
const char* readArguments(int nrhs, const mxArray* prhs[], trig::PulseRequest* r) {
  double x;
  if (!firstElement(prhs[0], &x) || !trig::toPort(x, &r->port))
    return trig::text(trig::Message::portNotNumber);
  if (!firstElement(prhs[1], &x) || !trig::toByte(x, &r->value))
    return trig::text(trig::Message::valueNotNumber);
  r->duration = 10;
  r->delay = 0;
  if (nrhs >= 3) {
    const char* m = readMilliseconds(prhs[2], &r->duration, trig::Message::durationNotNumber,
                                     trig::Message::durationNegative, trig::Message::durationTooLarge);
    if (m) return m;
  }
  if (nrhs >= 4) {
    const char* m = readMilliseconds(prhs[3], &r->delay, trig::Message::delayNotNumber,
                                     trig::Message::delayNegative, trig::Message::delayTooLarge);
    if (m) return m;
  }
  return nullptr;
}

// Everything the module keeps from one call to the next. A call starts it when it is not started
// (the first call after each load); the unload handler ends it and leaves it as a fresh load
// would, since a module loaded again while its image is still mapped keeps its variables (and
// the host has forgotten the handler). `lock` guards it for hosts that call from several threads
// (Python): calls of trigout take turns on it, and nothing else takes it (a read never does). It
// is taken before the timer's lock, never after.
struct Trigout {
  platform::Lock lock;
  bool started = false;
  trig::PulseTimer timer;             // the pending pulses and their thread
  trig::LibraryHold* kept = nullptr;  // the library of the last successful binding, kept loaded
  // What the port library said at the last binding (calling thread only): the reason its driver
  // is closed, raised in place of the fixed message, or a warning shown once the call is done.
  char librarySaid[1024] = "";
};

Trigout g_trigout;

// Before the host unloads the module (clear all, clear trigout, clear functions, exit), pending
// pulses end as scheduled and the timer thread ends, so every reset is still written and no
// thread runs the module's code once it is unmapped.
void endTrigout() {
  Trigout& m = g_trigout;
  platform::LockGuard hold(m.lock);
  trig::finishPendingPulses(m.timer);
  trig::releaseKeptLibrary(m.kept);
  m.librarySaid[0] = '\0';
  m.started = false;
}

// fork(): the module's and the timer's locks are held across it, so the child finds both whole;
// the child then gets them back fresh, and a fresh timer (its pending resets are its own to write:
// the exit handler waits for them).
void beforeFork() {
  platform::lock(g_trigout.lock);
  platform::lock(g_trigout.timer.lock);
}
void parentAfterFork() {
  platform::unlock(g_trigout.timer.lock);
  platform::unlock(g_trigout.lock);
}
void childAfterFork() {
  trig::resetTimerInChild(g_trigout.timer);
  platform::resetLockInChild(g_trigout.lock);
}

void startTrigout(Trigout& m) {
  static bool forkHandled = false;  // once per image: the system forgets the handlers at unload
  if (!forkHandled) forkHandled = platform::atFork(beforeFork, parentAfterFork, childAfterFork);
  mexAtExit(endTrigout);
  m.started = true;
}

// Binds the library named by `path` (IO_LIB), reads the arguments and schedules the pulse, with
// the module's lock held. Returns the message to raise, or null; *warning is what to warn with, or
// null (each may be m.librarySaid: the caller copies them before it lets the lock go).
const char* pulseCall(Trigout& m, const char* path, int nrhs, const mxArray* prhs[], const char** warning) {
  *warning = nullptr;
  // Libraries the timer let go of last are unloaded here, never on the timer's thread.
  trig::releaseParkedLibraries(m.timer);
  // The port, when it is a valid one, for a library's port-aware driver check; its message, when
  // it is not, still comes after the driver's.
  double first;
  uint16_t port;
  const int knownPort = firstElement(prhs[0], &first) && trig::toPort(first, &port) ? port : -1;

  trig::PulseRequest args;
  trig::LibraryHold* library;
  trig::BindStatus bound = trig::openPortLibrary(m.kept, path, knownPort, &library, &args.entries,
                                                 m.librarySaid, sizeof m.librarySaid);
  if (bound == trig::BindStatus::driverClosed && m.librarySaid[0]) return m.librarySaid;
  if (bound != trig::BindStatus::ok) return trig::bindMessage(bound);
  if (m.librarySaid[0]) *warning = m.librarySaid;

  const char* bad = readArguments(nrhs, prhs, &args);
  if (bad) {
    trig::releaseHold(library);
    return bad;
  }
  trig::PulseRequest* request = new (std::nothrow) trig::PulseRequest(args);
  if (!request) {
    trig::releaseHold(library);
    return trig::text(trig::Message::requestNoMemory);
  }
  request->library = library;
  switch (trig::schedulePulse(m.timer, request)) {
    case trig::ScheduleStatus::ok: return nullptr;
    case trig::ScheduleStatus::noMemory: return trig::text(trig::Message::requestNoMemory);
    case trig::ScheduleStatus::noThread: return trig::text(trig::Message::noThread);
  }
  return nullptr;
}

}  // namespace

// Copies a message out of the module's state, for raising after its lock is let go.
const char* copied(const char* text, char (&into)[1024]) {
  if (!text) return nullptr;
  std::strncpy(into, text, sizeof into - 1);
  into[sizeof into - 1] = '\0';
  return into;
}

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)plhs;
  if (nrhs < 2 || nrhs > 4) mexErrMsgTxt(trig::text(trig::Message::argumentCount));
  if (nlhs > 0) mexErrMsgTxt(trig::text(trig::Message::outputArgument));
  // Host operations that may raise (mexGetVariable, mxCalloc) all come before anything of ours
  // exists, and before the module's lock is taken.
  mxArray* ioLib = mexGetVariable("global", "IO_LIB");
  if (!ioLib) mexErrMsgTxt(trig::text(trig::Message::noIoLib));
  size_t length = mxGetNumberOfElements(ioLib) + 1;
  char nearby[512];  // most paths fit: no allocation on the way to the pulse
  char* path = nearby;
  if (length > sizeof nearby) path = static_cast<char*>(mxCalloc(length, 1));  // freed by the host
  path[0] = '\0';  // a value that is no text leaves the name empty: the library does not load
  mxGetString(ioLib, path, static_cast<int>(length));
  // A NUL inside the name would load the library its first part names.
  if (mxIsChar(ioLib) && std::strlen(path) + 1 != length) mexErrMsgTxt(trig::text(trig::Message::ioLibNul));

  Trigout& m = g_trigout;
  char warningText[1024], messageText[1024];
  const char* warning;
  const char* message;
  {
    platform::LockGuard hold(m.lock);
    if (!m.started) startTrigout(m);
    message = copied(pulseCall(m, path, nrhs, prhs, &warning), messageText);
    warning = copied(warning, warningText);
  }
  if (warning) mexWarnMsgTxt(warning);
  if (message) mexErrMsgTxt(message);
}
