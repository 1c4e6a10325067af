// trigout under wine with the Windows build of the simulated port library: messages (and no port
// write after any of them), the pulse sequences read back from the library's log, and unloading
// the module while a pulse still waits.
#include <windows.h>

#include <cstdio>
#include <sstream>

#include "harness.h"
#include "mexhost.h"

namespace harness {

namespace {

using mexhost::Array;

struct Write {
  int64_t ns;
  unsigned port, value;
};

class PortLog {
 public:
  explicit PortLog(const Paths& paths) : dir_(paths.build) {}
  // Starts a new, empty log for the next case.
  void start(const std::string& tag) {
    path_ = dir_ + "\\simport-" + tag + ".log";
    DeleteFileA(path_.c_str());
    SetEnvironmentVariableA("SIMPORT_LOG", path_.c_str());
  }
  std::vector<Write> writes() const {
    std::vector<Write> out;
    std::vector<unsigned char> bytes;
    if (!readFile(path_, bytes)) return out;
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::string line;
    while (std::getline(in, line)) {
      long long ns;
      unsigned port, value;
      if (std::sscanf(line.c_str(), "%lld %u %u", &ns, &port, &value) == 3) out.push_back({ns, port, value});
    }
    return out;
  }
  // Waits until `count` writes are logged (at most `timeoutMs`), then a little longer so that a
  // write too many would show.
  std::vector<Write> await(size_t count, unsigned timeoutMs = 3000) const {
    for (unsigned waited = 0; waited < timeoutMs && writes().size() < count; waited += 5) sleepMs(5);
    sleepMs(60);
    return writes();
  }

 private:
  std::string dir_, path_;
};

std::string describe(const std::vector<Write>& w, int64_t t0) {
  std::string s;
  for (const Write& x : w)
    s += "[" + std::to_string(x.port) + " " + std::to_string(x.value) + " @" +
         std::to_string((x.ns - t0) / 1000) + "us] ";
  return s.empty() ? "no writes" : s;
}

bool sequenceIs(const std::vector<Write>& w, const std::vector<std::pair<unsigned, unsigned>>& want) {
  if (w.size() != want.size()) return false;
  for (size_t i = 0; i < w.size(); ++i)
    if (w[i].port != want[i].first || w[i].value != want[i].second) return false;
  return true;
}

double ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

mexhost::CallResult pulse(mexhost::Module& trigout, const std::vector<double>& args, int nlhs = 0) {
  std::vector<Array> arrays;
  std::vector<const mxArray*> raw;
  for (double a : args) arrays.push_back(mexhost::scalar(a));
  for (const Array& a : arrays) raw.push_back(a.get());
  return trigout.call(nlhs, raw);
}

void useLibrary(const Paths& paths, const std::string& dll) {
  mexhost::setGlobal("IO_LIB", mexhost::charArray(paths.build + "\\portlibs\\" + dll).get());
}

void messages(mexhost::Module& trigout, const Paths& paths, PortLog& log) {
  struct Case {
    std::string message;
    std::string library;  // "" leaves IO_LIB unset
    std::vector<double> args;
    int nlhs;
  };
  const Case cases[] = {
      {"Two or three or four input arguments required", "simport.dll", {888}, 0},
      {"Two or three or four input arguments required", "simport.dll", {888, 1, 10, 0, 5}, 0},
      {"No output argument allowed", "simport.dll", {888, 1}, 1},
      {"IO_LIB not found or is nor global variable.", "", {888, 1}, 0},
      {"LoadLibrary Failed. Check IO_LIB.\n", "no-such-port-library.dll", {888, 1}, 0},
      {"GetProcAddress for Oup32 Failed.\n", "simport_noout.dll", {888, 1}, 0},
      {"GetProcAddress for Inp32 Failed.\n", "simport_noinp.dll", {888, 1}, 0},
      {"GetProcAddress for IsOpen Failed.\n", "simport_noisopen.dll", {888, 1}, 0},
      {"Parellel Port library is not loaded.(Try running as an administrator).\n",
       "simport_closed.dll",
       {888, 1},
       0},
  };
  int i = 0;
  for (const Case& c : cases) {
    log.start("message" + std::to_string(i++));
    if (c.library.empty())
      mexhost::clearGlobal("IO_LIB");
    else
      useLibrary(paths, c.library);
    mexhost::CallResult r = pulse(trigout, c.args, c.nlhs);
    std::string shown = c.message;
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    std::string name = "trigout message \"" + shown + "\" (" + std::to_string(c.args.size()) +
                       " arguments, " + (c.library.empty() ? "no IO_LIB" : c.library) + ")";
    check(r.failed && r.message == c.message, name, r.failed ? "got \"" + r.message + "\"" : "no error");
    std::vector<Write> w = log.await(1, 150);
    check(w.empty(), name + ": no port write", describe(w, 0));
  }
  // Unsafe waits are refused before any write (a negative wait would last about 49 days).
  useLibrary(paths, "simport.dll");
  log.start("negative");
  mexhost::CallResult r = pulse(trigout, {888, 1, -5});
  std::vector<Write> w = log.await(1, 150);
  check(r.failed && !r.message.empty() && w.empty(),
        "trigout: a negative duration is an error before any write", r.failed ? describe(w, 0) : "no error");
}

void sequences(mexhost::Module& trigout, const Paths& paths, PortLog& log) {
  useLibrary(paths, "simport.dll");

  log.start("default");
  int64_t t0 = nowNs();
  mexhost::CallResult r = pulse(trigout, {888, 255});
  std::vector<Write> w = log.await(2);
  bool ok = !r.failed && sequenceIs(w, {{888, 255}, {888, 0}});
  check(ok && ms(w[1].ns - w[0].ns) >= 9.9 && ms(w[1].ns - w[0].ns) < 500,
        "trigout pulse: port 888 value 255 is written now and reset about 10 ms later", describe(w, t0));

  log.start("delay");
  t0 = nowNs();
  r = pulse(trigout, {888, 1, 50, 20});
  std::vector<Write> during = log.writes();
  w = log.await(2);
  ok = !r.failed && during.empty() && sequenceIs(w, {{888, 1}, {888, 0}});
  check(ok && ms(w[0].ns - t0) >= 19.9 && ms(w[0].ns - t0) < 500 && ms(w[1].ns - w[0].ns) >= 49.9 &&
            ms(w[1].ns - w[0].ns) < 550,
        "trigout pulse: delay 20, duration 50: nothing during the call, 1 after ~20 ms, 0 ~50 ms later",
        describe(w, t0) + (during.empty() ? "" : "; wrote during the call"));

  log.start("overlap");
  t0 = nowNs();
  // Durations long enough that the second call surely comes within the first pulse on a busy
  // machine; the timestamps show that it did.
  mexhost::CallResult r1 = pulse(trigout, {888, 1, 300});
  sleepMs(5);
  mexhost::CallResult r2 = pulse(trigout, {888, 2, 300});
  w = log.await(3);
  check(!r1.failed && !r2.failed && sequenceIs(w, {{888, 1}, {888, 2}, {888, 0}}) &&
            ms(w[1].ns - w[0].ns) < 300 && ms(w[2].ns - w[1].ns) >= 299.9,
        "trigout pulse: values 1 then 2 on one port within the first pulse: 1, 2, then one reset",
        describe(w, t0));

  log.start("twoports");
  t0 = nowNs();
  r1 = pulse(trigout, {888, 1, 300});
  sleepMs(5);
  r2 = pulse(trigout, {632, 2, 10});
  w = log.await(4, 1000);
  check(!r1.failed && !r2.failed && sequenceIs(w, {{888, 1}, {632, 2}, {632, 0}, {888, 0}}) &&
            ms(w[1].ns - w[0].ns) < 300 && ms(w[3].ns - w[0].ns) >= 299.9,
        "trigout pulse: port A value 1, then port B value 2: each port is reset after its own duration",
        describe(w, t0));

  log.start("zero");
  t0 = nowNs();
  r = pulse(trigout, {888, 0, 10});
  w = log.await(2);
  check(!r.failed && sequenceIs(w, {{888, 0}, {888, 0}}), "trigout pulse: value 0 is written twice",
        describe(w, t0));

  log.start("truncation");
  t0 = nowNs();
  r1 = pulse(trigout, {888.9, 256, 5});
  w = log.await(2);
  ok = !r1.failed && sequenceIs(w, {{888, 0}, {888, 0}});
  log.start("truncation2");
  r2 = pulse(trigout, {888, 3.7, 5});
  std::vector<Write> w2 = log.await(2);
  check(ok && !r2.failed && sequenceIs(w2, {{888, 3}, {888, 0}}),
        "trigout pulse: port 888.9 addresses 888, value 256 writes 0, 3.7 writes 3",
        describe(w, t0) + "| " + describe(w2, t0));
}

// The host unloads the module while a pulse waits: as on every platform, the unload waits for
// the pulse, so its value and its reset are both written by the time the unload returns (and by
// the time the host process exits, which unloads its modules); the module is unmapped after.
void unloadWhilePending(const Paths& paths, PortLog& log) {
  std::string path = paths.build + "\\trigout" + paths.suffix;
  std::string file = "trigout" + paths.suffix;
  useLibrary(paths, "simport.dll");
  log.start("unload");
  int64_t t0 = nowNs();
  {
    mexhost::Module trigout(path);
    mexhost::CallResult r = pulse(trigout, {888, 9, 150, 30});
    check(!r.failed, "trigout unload: the pulse call succeeds", r.message);
    trigout.unload();
  }
  std::vector<Write> w = log.writes();
  check(sequenceIs(w, {{888, 9}, {888, 0}}) && ms(w[1].ns - w[0].ns) >= 149.9,
        "trigout unload: a pulse pending at the unload has written its value and its reset when the unload "
        "returns",
        describe(w, t0));
  bool unmapped = false;
  for (int i = 0; i < 200 && !unmapped; ++i) {
    unmapped = GetModuleHandleA(file.c_str()) == nullptr;
    if (!unmapped) sleepMs(10);
  }
  check(unmapped, "trigout unload: the module is unmapped once its last pulse has ended");
}

// Loaded again at once after an unload (should its image still be mapped, it keeps its
// variables), the module registers its unload handler again and starts its timer again: the
// second unload waits for its pulse too and lets go of the port library, which is then unloaded.
void reloadWhileMapped(const Paths& paths, PortLog& log) {
  std::string path = paths.build + "\\trigout" + paths.suffix;
  useLibrary(paths, "simport.dll");
  log.start("reload");
  int64_t t0 = nowNs();
  {
    mexhost::Module first(path);
    mexhost::CallResult r = pulse(first, {888, 5, 200});
    first.unload();
    mexhost::Module second(path);
    mexhost::CallResult r2 = pulse(second, {888, 6, 100});
    check(!r.failed && !r2.failed, "trigout reload: both pulse calls succeed", r.message + r2.message);
    second.unload();
  }
  std::vector<Write> w = log.writes();
  check(sequenceIs(w, {{888, 5}, {888, 0}, {888, 6}, {888, 0}}),
        "trigout reload: the second unload has waited for its pulse", describe(w, t0));
  bool released = false;
  for (int i = 0; i < 200 && !released; ++i) {
    released = GetModuleHandleA("simport.dll") == nullptr;
    if (!released) sleepMs(10);
  }
  check(released, "trigout reload: the reloaded module lets go of the port library at its unload");
}

}  // namespace

void trigoutSuite(const Paths& paths) {
  PortLog log(paths);
  {
    mexhost::Module trigout(paths.build + "\\trigout" + paths.suffix);
    messages(trigout, paths, log);
    sequences(trigout, paths, log);
    trigout.unload();
  }
  unloadWhilePending(paths, log);
  reloadWhileMapped(paths, log);
  SetEnvironmentVariableA("SIMPORT_LOG", nullptr);
  mexhost::clearGlobal("IO_LIB");
}

}  // namespace harness
