// Shared fixture of the trigout tests: the module in the embedded host, bound to a simulated
// port library whose write log (order and monotonic timestamps) is the observation.
#ifndef TESTS_TRIGOUT_FIXTURE_H
#define TESTS_TRIGOUT_FIXTURE_H

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mexhost.h"

struct PortWrite {
  int64_t ns = 0;
  unsigned port = 0;
  unsigned value = 0;
  std::string tag;
};

inline bool operator==(const PortWrite& a, const PortWrite& b) {
  return a.port == b.port && a.value == b.value && a.tag == b.tag;
}
inline std::ostream& operator<<(std::ostream& os, const PortWrite& w) {
  return os << "(" << w.port << ", " << w.value << ", " << w.tag << " @" << w.ns << ")";
}

inline std::string portLibrary(const std::string& name) {
  return std::string(PORTLIB_DIR) + "/" + name + ".so";
}

// The simulated libraries write their logs in the background: every one loaded now writes out
// what it has before the log is read.
inline void flushPortLogs() {
  for (const char* name :
       {"simport", "simport_b", "simport_closed", "simport_noout", "simport_noinp", "simport_noisopen"}) {
    void* loaded = dlopen(portLibrary(name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!loaded) continue;
    if (void* flush = dlsym(loaded, "SimportFlushLog")) reinterpret_cast<void (*)()>(flush)();
    dlclose(loaded);
  }
}

// The writes in the order they were made: each library writes its own in order, and writes of
// two libraries into one file are put in order by their times.
inline std::vector<PortWrite> readPortLog(const std::string& path) {
  flushPortLogs();
  std::vector<PortWrite> log;
  std::ifstream in(path);
  PortWrite w;
  while (in >> w.ns >> w.port >> w.value >> w.tag) log.push_back(w);
  std::stable_sort(log.begin(), log.end(),
                   [](const PortWrite& a, const PortWrite& b) { return a.ns < b.ns; });
  return log;
}

inline int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr int64_t kMs = 1000000;

// Whether a library of this name is mapped into the process now.
inline bool isMapped(const std::string& fileName) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.size() >= fileName.size() &&
        line.compare(line.size() - fileName.size(), fileName.size(), fileName) == 0)
      return true;
  return false;
}

// Threads of this process now, but for the simulated libraries' log writers, which come and go
// with the libraries.
inline size_t threadCount() {
  size_t n = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* e = readdir(tasks)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
      std::string name;
      std::getline(comm, name);
      n += name != "simport log";
    }
    closedir(tasks);
  }
  return n;
}

class Trigout : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name)
      if (c == '/') c = '_';
    logPath_ = ::testing::TempDir() + "trigout_" + std::to_string(getpid()) + "_" + name + ".log";
    std::remove(logPath_.c_str());
    setenv("SIMPORT_LOG", logPath_.c_str(), 1);
    unsetenv("SIMPORT_DRIVER_CLOSED");
    unsetenv("SIMPORT_WRITE_US");
    useLibrary("simport");
    module_ = std::make_unique<mexhost::Module>(TRIGOUT_MODULE);
  }
  void TearDown() override {
    module_.reset();  // waits for pending pulses
    mexhost::clearGlobals();
    std::remove(logPath_.c_str());
  }

  void useLibrary(const std::string& name) {
    mexhost::setGlobal("IO_LIB", mexhost::charArray(portLibrary(name)).get());
  }

  mexhost::CallResult call(int nlhs, const std::vector<const mxArray*>& args) {
    return module_->call(nlhs, args);
  }
  // trigout(port, value[, duration[, delay]]) with double scalars.
  mexhost::CallResult pulse(std::vector<double> numbers) {
    std::vector<mexhost::Array> held;
    std::vector<const mxArray*> args;
    for (double x : numbers) {
      held.push_back(mexhost::scalar(x));
      args.push_back(held.back().get());
    }
    return module_->call(0, args);
  }
  // Lets every pending pulse end (as unloading does), then reads the log; the module is loaded
  // again for further calls.
  std::vector<PortWrite> finish() {
    module_->unload();
    module_ = std::make_unique<mexhost::Module>(TRIGOUT_MODULE);
    return log();
  }
  std::vector<PortWrite> log() const { return readPortLog(logPath_); }
  // Empties the log (the library appends, so it writes at the new end), after what it still
  // held was written.
  void clearLog() {
    flushPortLogs();
    std::ofstream(logPath_, std::ios::trunc).close();
  }
  static void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  std::string logPath_;
  std::unique_ptr<mexhost::Module> module_;
};

inline PortWrite W(unsigned port, unsigned value, const std::string& tag = "sim") {
  PortWrite w;
  w.port = port;
  w.value = value;
  w.tag = tag;
  return w;
}

#endif
