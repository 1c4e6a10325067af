// Port library faults and long runs of failing calls: a library that fails to load (or whose
// driver is closed) on the Nth call, and 2000 failing calls of each module in a row. Pending
// pulses still end as scheduled, and descriptors, threads, arrays and loaded libraries come back
// to where they were.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include "support.h"

namespace {

using mexhost::Array;

// Waits until the write log holds `count` writes (the timer thread outlives the pulses, so the
// threads say nothing about the pulses still due).
void waitForWrites(const std::string& log, size_t count);

struct Write {
  unsigned port, value;
};

std::vector<Write> readLog(const std::string& path) {
  std::vector<Write> writes;
  std::ifstream in(path);
  long long ns;
  Write w;
  std::string tag;
  while (in >> ns >> w.port >> w.value >> tag) writes.push_back(w);
  return writes;
}

void waitForWrites(const std::string& log, size_t count) {
  for (int i = 0; i < 10000 && readLog(log).size() < count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class PortFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = dir_.file("ports.log");
    setenv("SIMPORT_LOG", log_.c_str(), 1);
    // A copy of the simulated library under a name of its own, and a file that is no library.
    good_ = dir_.file("portio.so");
    broken_ = dir_.file("broken.so");
    {
      std::ifstream src(PORTLIB_DIR "/simport.so", std::ios::binary);
      std::ofstream(good_, std::ios::binary) << src.rdbuf();
      std::ofstream(broken_) << "not a library\n";
    }
    threads_ = rel::threads();
    fds_ = rel::openDescriptors();
  }
  void TearDown() override {
    unsetenv("SIMPORT_LOG");
    unsetenv("SIMPORT_DRIVER_CLOSED");
    mexhost::clearGlobal("IO_LIB");
  }
  void useLibrary(const std::string& path) { mexhost::setGlobal("IO_LIB", mexhost::charArray(path).get()); }
  mexhost::CallResult pulse(mexhost::Module& m, double port, double value, double duration) {
    Array p = mexhost::scalar(port), v = mexhost::scalar(value), d = mexhost::scalar(duration);
    return m.call(0, {p.get(), v.get(), d.get()});
  }
  // After the pulses and the module's unload (the module keeps the last library it bound until
  // then): `pulses` values were written, the last write is a reset, and nothing of the libraries
  // or the timer thread is left.
  void expectPulsesEnded(mexhost::Module& m, size_t pulses) {
    m.unload();  // waits for the pending pulses, ends the timer thread
    std::vector<Write> writes = readLog(log_);
    size_t values = 0;
    for (const Write& w : writes) values += w.value != 0;
    EXPECT_EQ(values, pulses);
    if (pulses > 0) {
      ASSERT_FALSE(writes.empty());
      EXPECT_EQ(writes.back().value, 0u) << "the last pulse did not reset its port";
    }
    EXPECT_EQ(rel::threads(), threads_);
    EXPECT_FALSE(rel::mapped("/portio.so"));
    EXPECT_FALSE(rel::mapped("/simport_noinp.so"));
    EXPECT_FALSE(rel::mapped("/simport_closed.so"));
    EXPECT_EQ(rel::openDescriptors(), fds_);
  }

  rel::TempDir dir_;
  std::string log_, good_, broken_;
  size_t threads_ = 0, fds_ = 0;
};

TEST_F(PortFaults, ALibraryThatFailsToLoadOnTheNthCallLeavesThePendingPulseToEnd) {
  mexhost::Module m(TRIGOUT_MODULE);
  size_t pulses = 0;
  for (int n = 2; n <= 5; ++n) {
    // Calls 1 .. N-2 pulse and end; the pulse of call N-1 still waits when call N fails.
    useLibrary(good_);
    // Pulses that do not overlap each write their value and their reset.
    for (int i = 1; i < n - 1; ++i) {
      ASSERT_FALSE(pulse(m, 900 + i, i, 0).failed);
      waitForWrites(log_, 2 * ++pulses);
    }
    ASSERT_FALSE(pulse(m, 950, 50, 40).failed);
    useLibrary(n % 2 ? broken_ : dir_.file("gone.so"));
    EXPECT_EQ(pulse(m, 999, 9, 1).message, "LoadLibrary Failed. Check IO_LIB.\n");
    waitForWrites(log_, 2 * ++pulses);
    std::vector<Write> writes = readLog(log_);
    ASSERT_EQ(writes.size(), 2 * pulses);
    EXPECT_EQ(writes[writes.size() - 2].port, 950u);
    EXPECT_EQ(writes[writes.size() - 2].value, 50u);
    EXPECT_EQ(writes.back().port, 950u) << "the pending pulse did not reset its port";
    EXPECT_EQ(writes.back().value, 0u);
    useLibrary(good_);
    EXPECT_FALSE(pulse(m, 998, 8, 1).failed) << "the call after the failed one works again";
    waitForWrites(log_, 2 * ++pulses);
  }
  expectPulsesEnded(m, pulses);
}

TEST_F(PortFaults, ALibraryThatLoadsButCannotBeUsedOnTheNthCallIsReleasedAgain) {
  mexhost::Module m(TRIGOUT_MODULE);
  useLibrary(good_);
  ASSERT_FALSE(pulse(m, 901, 1, 30).failed);
  setenv("SIMPORT_DRIVER_CLOSED", "1", 1);
  EXPECT_EQ(pulse(m, 902, 2, 1).message,
            "Parellel Port library is not loaded.(Try running as an administrator).\n");
  unsetenv("SIMPORT_DRIVER_CLOSED");
  useLibrary(PORTLIB_DIR "/simport_noinp.so");
  EXPECT_EQ(pulse(m, 903, 3, 1).message, "GetProcAddress for Inp32 Failed.\n");
  useLibrary(good_);
  ASSERT_FALSE(pulse(m, 904, 4, 1).failed);
  expectPulsesEnded(m, 2);
}

TEST_F(PortFaults, TwoThousandFailingPulseCallsLeaveNothingBehind) {
  mexhost::Module m(TRIGOUT_MODULE);
  useLibrary(good_);  // globals count among the live arrays
  const size_t arrays = mexhost::liveArrays(), callocs = mexhost::liveCallocs();
  Array one = mexhost::scalar(1), nan = mexhost::scalar(std::nan(""));
  for (int i = 0; i < 2000; ++i) {
    mexhost::CallResult r;
    switch (i % 6) {
      case 0:
        mexhost::clearGlobal("IO_LIB");
        r = pulse(m, 888, 1, 1);
        break;
      case 1:
        useLibrary(broken_);
        r = pulse(m, 888, 1, 1);
        break;
      case 2:
        useLibrary(PORTLIB_DIR "/simport_noinp.so");
        r = pulse(m, 888, 1, 1);
        break;
      case 3:
        useLibrary(PORTLIB_DIR "/simport_closed.so");
        r = pulse(m, 888, 1, 1);
        break;
      case 4:
        useLibrary(good_);
        r = pulse(m, 888, 1, -5);
        break;  // bound, then a bad duration
      default:
        useLibrary(good_);
        r = m.call(0, {one.get(), nan.get()});
        break;
    }
    ASSERT_TRUE(r.failed) << "call " << i;
  }
  useLibrary(good_);
  EXPECT_EQ(mexhost::liveArrays(), arrays + 2);  // the two arguments above
  EXPECT_EQ(mexhost::liveCallocs(), callocs);
  expectPulsesEnded(m, 0);
}

TEST_F(PortFaults, TwoThousandFailingReadsLeaveNothingBehind) {
  mexhost::Module m(EEGFETCH_MODULE);
  const std::string path = dir_.file("rec.bin");
  rel::writeRecording(path, 40, 3);
  Array name = mexhost::charArray(path), missing = mexhost::charArray(dir_.file("missing.bin"));
  Array folder = mexhost::charArray(dir_.file("")), hdr = rel::header(3, 40), opt = rel::options();
  Array badEndian = rel::header(3, 40), badChannel = rel::options(), notStruct = mexhost::scalar(1);
  mexhost::setField(badEndian.get(), "endian", mexhost::charArray("x"));
  mexhost::setField(badChannel.get(), "chanidx", mexhost::rowVector({1, 4}));
  const size_t arrays = mexhost::liveArrays(), callocs = mexhost::liveCallocs();
  const size_t fds = rel::openDescriptors();
  for (int i = 0; i < 2000; ++i) {
    mexhost::CallResult r;
    switch (i % 6) {
      case 0: r = m.call(1, {missing.get(), hdr.get(), opt.get()}); break;
      case 1: r = m.call(1, {name.get(), notStruct.get(), opt.get()}); break;
      case 2: r = m.call(1, {name.get(), badEndian.get(), opt.get()}); break;
      case 3: r = m.call(1, {name.get(), hdr.get(), badChannel.get()}); break;
      case 4: r = m.call(1, {folder.get(), hdr.get(), opt.get()}); break;
      default: r = m.call(3, {name.get(), hdr.get(), opt.get()}); break;
    }
    ASSERT_TRUE(r.failed) << "call " << i;
  }
  EXPECT_EQ(mexhost::liveArrays(), arrays);
  EXPECT_EQ(mexhost::liveCallocs(), callocs);
  EXPECT_EQ(rel::openDescriptors(), fds);
}

}  // namespace
