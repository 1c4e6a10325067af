// Fuzz target: trigout through the embedded host with the simulated port library and random
// argument sets and IO_LIB values. Waits stay a few milliseconds long so the run is fast. After
// each call: a rejection carries one of the documented messages, no array, host allocation or
// descriptor is left behind, and threads do not pile up (the module's unload at exit waits
// for the pending pulses, and LeakSanitizer then sees any request or record left behind).
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <set>
#include <string>
#include <thread>

#include "hostfuzz.h"

namespace {

using mexhost::Array;

const std::set<std::string>& documentedMessages() {
  static const std::set<std::string> messages = {
      "Two or three or four input arguments required",
      "No output argument allowed",
      "IO_LIB not found or is nor global variable.",
      "IO_LIB must not hold a NUL character.",
      "LoadLibrary Failed. Check IO_LIB.\n",
      "GetProcAddress for Oup32 Failed.\n",
      "GetProcAddress for Inp32 Failed.\n",
      "GetProcAddress for IsOpen Failed.\n",
      "Parellel Port library is not loaded.(Try running as an administrator).\n",
      "port must be a finite real number.",
      "value must be a finite real number.",
      "duration must be a finite real number.",
      "duration must not be negative.",
      "duration must be at most 2147483647 ms.",
      "delay must be a finite real number.",
      "delay must not be negative.",
      "delay must be at most 2147483647 ms.",
      "Out of memory. Type \"help memory\" for your options.",
      "Out of memory for the pulse request.",
      "Out of memory while binding the port library.",
      "Could not start the pulse thread; a value written by this call was reset.",
  };
  return messages;
}

size_t threadCount() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

// A number for a wait: hostile (NaN, negative, huge) or a few milliseconds, never a long
// accepted wait that would stall the run.
double waitNumber(FuzzedDataProvider& in) {
  double x = hostfuzz::pickNumber(in);
  if (std::isfinite(x) && std::trunc(x) >= 4 && std::trunc(x) <= 2147483647.0)
    x = std::fmod(std::trunc(x), 4.0);
  return x;
}

Array argument(FuzzedDataProvider& in, int position) {
  int kind = in.ConsumeIntegralInRange<int>(0, 5);
  if (position >= 2) {
    if (kind == 0) return hostfuzz::randomArray(in);  // a class or shape of its own; waits get clamped below
    static const mxClassID classes[] = {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS,
                                        mxUINT32_CLASS, mxINT64_CLASS,  mxLOGICAL_CLASS};
    size_t n = in.ConsumeIntegralInRange<size_t>(0, 2);
    std::vector<double> v;
    for (size_t i = 0; i < n; ++i) v.push_back(waitNumber(in));
    return mexhost::numeric(in.PickValueInArray(classes), n ? 1 : 0, n, v);
  }
  if (kind == 0) return hostfuzz::randomArray(in);
  if (kind == 1) return mexhost::scalar(hostfuzz::pickNumber(in));
  return mexhost::scalar(static_cast<double>(in.ConsumeIntegralInRange<int>(-2, 1100)));
}

// Random arrays of any class keep their values; a wait among them is made short where it would
// otherwise be accepted as a long one.
bool longWait(const mxArray* a) {
  std::vector<double> v = mexhost::values(a);
  if (v.empty() || !mxIsNumeric(a)) return false;
  double x = v[0];
  return std::isfinite(x) && std::trunc(x) >= 4 && std::trunc(x) <= 2147483647.0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static mexhost::Module module(TRIGOUT_MODULE);
  static const std::string portlibs = std::string(PORTLIB).substr(0, std::string(PORTLIB).rfind('/') + 1);
  static const char* const variants[] = {"simport_noout.so",  "simport_noinp.so", "simport_noisopen.so",
                                         "simport_closed.so", "missing.so",       "simport_b.so"};
  // Our own references keep the port libraries (and their coverage counters, which libFuzzer
  // reads after every input) mapped for the whole run, whatever trigout loads and releases.
  static const bool keptLoaded = [] {
    if (!dlopen(PORTLIB, RTLD_NOW | RTLD_LOCAL))
      hostfuzz::fail("trigout", "cannot load the simulated port library");
    for (const char* v : variants) dlopen((portlibs + v).c_str(), RTLD_NOW | RTLD_LOCAL);
    return true;
  }();
  (void)keptLoaded;

  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: mexhost::clearGlobal("IO_LIB"); break;
    case 1: mexhost::setGlobal("IO_LIB", hostfuzz::randomArray(in).get()); break;
    case 2:
      mexhost::setGlobal("IO_LIB", mexhost::charArray(portlibs + in.PickValueInArray(variants)).get());
      break;
    case 3: mexhost::setGlobal("IO_LIB", mexhost::charArray(in.ConsumeRandomLengthString(64)).get()); break;
    default: mexhost::setGlobal("IO_LIB", mexhost::charArray(PORTLIB).get()); break;
  }
  int nrhs = in.ConsumeIntegralInRange<int>(0, 9) == 0 ? in.ConsumeIntegralInRange<int>(0, 5)
                                                       : in.ConsumeIntegralInRange<int>(2, 4);
  int nlhs = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? 1 : 0;
  std::vector<Array> args;
  for (int i = 0; i < nrhs; ++i) {
    args.push_back(argument(in, i));
    if (i >= 2 && longWait(args.back().get())) args.back() = mexhost::scalar(1.0);
  }
  std::vector<const mxArray*> argv;
  for (const Array& a : args) argv.push_back(a.get());

  const size_t threads = threadCount(), descriptors = hostfuzz::openDescriptors();
  const size_t arrays = mexhost::liveArrays(), callocs = mexhost::liveCallocs();
  {
    mexhost::CallResult r = module.call(nlhs, argv);
    if (r.failed && !documentedMessages().count(r.message))
      hostfuzz::fail("trigout: undocumented message", r.message);
  }
  // The timer thread outlives the call; threads must not pile up. Every pulse here ends within a
  // few milliseconds.
  if (threadCount() > threads + 64) hostfuzz::fail("trigout", "pulse threads pile up");
  if (mexhost::liveArrays() != arrays) hostfuzz::fail("trigout", "an array was left behind");
  if (mexhost::liveCallocs() != callocs) hostfuzz::fail("trigout", "an mxCalloc block was left behind");
  if (hostfuzz::openDescriptors() != descriptors) hostfuzz::fail("trigout", "a descriptor was left open");
  return 0;
}
