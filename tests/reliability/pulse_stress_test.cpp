// 10,000 pulses from concurrent callers with random ports, values, delays and durations. The
// embedded host, like MATLAB, runs one module call at a time, so the callers take turns for the
// call itself while all their pulses wait at once. Afterwards the write log must show that
// every reset cleared its port's newest value and no earlier than its pulse's duration allowed,
// that no port was left high, that every pulse wrote its value, that the library's load count is
// back where it started and that no thread of the module is left.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "support.h"

namespace {

struct Entry {
  long long ns;
  unsigned port, value;
};

// Durations follow from the value, so the log alone says how long each value must stay.
int durationOf(unsigned value) { return 3 + 2 * static_cast<int>(value % 5); }

TEST(PulseStress, TenThousandConcurrentPulsesResetOnlyTheirPortsNewestValueAndLeaveNothing) {
  rel::TempDir dir;
  const std::string log = dir.file("ports.log");
  setenv("SIMPORT_LOG", log.c_str(), 1);
  mexhost::setGlobal("IO_LIB", mexhost::charArray(PORTLIB_DIR "/simport.so").get());
  const bool loadedBefore = rel::mapped("/simport.so");
  const size_t threadsBefore = rel::threads();

  const int callers = 4, pulsesEach = 2500;
  std::mutex host;  // one module call at a time
  std::vector<std::string> failures;
  {
    mexhost::Module m(TRIGOUT_MODULE);
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
      threads.emplace_back([&, c] {
        std::mt19937 rng(1234u + static_cast<unsigned>(c));
        const double ports[] = {888, 889, 890, 0x278, 0x3bc};
        for (int i = 0; i < pulsesEach; ++i) {
          unsigned value = 1 + rng() % 255;
          double delay = rng() % 2 ? 0.0 : static_cast<double>(rng() % 4);
          mexhost::Array port = mexhost::scalar(ports[rng() % 5]), v = mexhost::scalar(value);
          mexhost::Array d = mexhost::scalar(durationOf(value)), w = mexhost::scalar(delay);
          std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
          std::lock_guard<std::mutex> lock(host);
          mexhost::CallResult r = m.call(0, {port.get(), v.get(), d.get(), w.get()});
          if (r.failed) failures.push_back(r.message);
        }
      });
    }
    for (std::thread& t : threads) t.join();
    // Unloading waits for the pending pulses, as `clear trigout` does.
    m.unload();
  }
  unsetenv("SIMPORT_LOG");
  mexhost::clearGlobal("IO_LIB");
  ASSERT_TRUE(failures.empty()) << failures.front();

  EXPECT_EQ(rel::threads(), threadsBefore) << "a thread of the module is left";
  EXPECT_EQ(rel::mapped("/simport.so"), loadedBefore) << "the library's load count did not come back";

  std::vector<Entry> entries;
  {
    std::ifstream in(log);
    Entry e;
    std::string tag;
    while (in >> e.ns >> e.port >> e.value >> tag) entries.push_back(e);
  }
  // Value writes not yet reset, by port and value: their log times.
  std::map<std::pair<unsigned, unsigned>, std::deque<long long>> pending;
  std::map<unsigned, unsigned> lastOnPort;  // each port's newest byte so far
  size_t values = 0, resets = 0;
  // The log's time of a value write trails the module's own by microseconds, or by more when the
  // writing thread is preempted in between on a busy machine.
  const long long slack = 2000000;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (e.value != 0) {
      ++values;
      pending[{e.port, e.value}].push_back(e.ns);
      lastOnPort[e.port] = e.value;
      continue;
    }
    ++resets;
    ASSERT_EQ(lastOnPort.count(e.port), 1u) << "entry " << i << ": a reset before any value on its port";
    const unsigned cleared = lastOnPort[e.port];
    lastOnPort[e.port] = 0;
    ASSERT_NE(cleared, 0u) << "entry " << i << ": a reset right after a reset of its port cleared nothing";
    // The reset belongs to a pulse of this port with the value it cleared (the newest one), whose
    // duration has passed.
    std::deque<long long>& writes = pending[{e.port, cleared}];
    bool found = false;
    for (auto it = writes.begin(); it != writes.end(); ++it) {
      if (*it + durationOf(cleared) * 1000000LL - slack <= e.ns) {
        writes.erase(it);
        found = true;
        break;
      }
    }
    ASSERT_TRUE(found) << "entry " << i << ": port " << e.port << " reset while value " << cleared
                       << " had no pulse of its own due to end";
  }
  EXPECT_EQ(values, static_cast<size_t>(callers * pulsesEach)) << "every pulse writes its value once";
  EXPECT_GT(resets, 0u);
  ASSERT_FALSE(entries.empty());
  for (const auto& [port, last] : lastOnPort) EXPECT_EQ(last, 0u) << "port " << port << " was left high";
}

}  // namespace
