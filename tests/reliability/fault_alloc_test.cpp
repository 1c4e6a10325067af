// An allocation failure at each allocation of a call, in turn: the host's (mxCalloc, result
// matrices, copies of globals) and the module's own heap. Each failure must end the call with a
// clear error and leave nothing behind; past the last allocation the call must give the result it
// gives without faults.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "alloc_shim.h"
#include "support.h"

namespace {

using mexhost::Array;

struct Counts {
  size_t arrays = mexhost::liveArrays();
  size_t callocs = mexhost::liveCallocs();
  size_t fds = rel::openDescriptors();
};

void expectSameCounts(const Counts& before, size_t n) {
  Counts now;
  EXPECT_EQ(now.arrays, before.arrays) << "allocation " << n;
  EXPECT_EQ(now.callocs, before.callocs) << "allocation " << n;
  EXPECT_EQ(now.fds, before.fds) << "allocation " << n;
}

enum class Fault { host, moduleHeap };

// Fails allocation 1, 2, ... of the same eegfetch call in turn. Host allocations: until the call
// gets through. The module's heap: each of the allocations an unfaulted call makes (a call may
// also get through a failed allocation it can do without, with the same result). Returns the
// number of allocations tried.
size_t failEachAllocationOfARead(Fault fault, bool inPlace) {
  rel::TempDir dir;
  const std::string path = dir.file("rec.bin");
  rel::writeRecording(path, 403, 3);
  mexhost::Module m(EEGFETCH_MODULE);
  Array name = mexhost::charArray(path), hdr = rel::header(3, 403), opt = rel::options();
  Array data = mexhost::doubleMatrix(120, 2);
  if (inPlace) mexhost::setField(opt.get(), "data", mexhost::duplicate(data.get()));
  const int nlhs = inPlace ? 0 : 1;

  std::vector<double> expected;
  size_t allocations = 0;
  {
    if (fault == Fault::moduleHeap) {
      EXPECT_TRUE(allocshim::failAllocationIn(EEGFETCH_MODULE, 0));
    }
    mexhost::CallResult r = m.call(nlhs, {name.get(), hdr.get(), opt.get()});
    allocations = allocshim::counted();
    allocshim::disarm();
    EXPECT_FALSE(r.failed) << r.message;
    expected =
        inPlace ? mexhost::values(mxGetField(opt.get(), 0, "data")) : mexhost::values(r.results[0].get());
  }
  const std::set<std::string> clearMessages = {rel::hostOutOfMemory(),
                                               "Not enough memory for the working storage of the read.",
                                               "Could not read file name."};
  for (size_t n = 1;; ++n) {
    if (n > 200) {
      ADD_FAILURE() << "the call never got past the failing allocations";
      return n;
    }
    if (inPlace) mexhost::setField(opt.get(), "data", mexhost::duplicate(data.get()));
    Counts before;
    if (fault == Fault::host) mexhost::failHostAllocation(n);
    if (fault == Fault::moduleHeap) {
      EXPECT_TRUE(allocshim::failAllocationIn(EEGFETCH_MODULE, n));
    }
    mexhost::CallResult r = m.call(nlhs, {name.get(), hdr.get(), opt.get()});
    mexhost::failHostAllocation(0);
    allocshim::disarm();
    if (!r.failed) {
      std::vector<double> got =
          inPlace ? mexhost::values(mxGetField(opt.get(), 0, "data")) : mexhost::values(r.results[0].get());
      EXPECT_EQ(got, expected) << "allocation " << n;
      if (fault == Fault::host || n >= allocations) return fault == Fault::host ? n - 1 : allocations;
      continue;
    }
    EXPECT_TRUE(clearMessages.count(r.message)) << "allocation " << n << ": " << r.message;
    r.results.clear();
    if (fault == Fault::host) {
      // The host's error jumps out of the module while the data file is open; the module keeps
      // that file in a slot of its own and closes it on its next call (or when it is unloaded).
      EXPECT_LE(rel::openDescriptors(), before.fds + 1) << "allocation " << n;
      EXPECT_EQ(m.call(0, {}).message, "Exactly three input arguments required.");
    }
    expectSameCounts(before, n);
    if (fault == Fault::moduleHeap && n >= allocations) return allocations;
  }
}

TEST(AllocationFaults, EachHostAllocationOfAReadFailsWithAClearErrorAndNothingLeft) {
  // The new result matrix is the read's host allocation.
  EXPECT_GE(failEachAllocationOfARead(Fault::host, false), 1u);
  failEachAllocationOfARead(Fault::host, true);
}

TEST(AllocationFaults, EachHeapAllocationOfTheReaderFailsWithAClearErrorAndNothingLeft) {
  if (!allocshim::available()) GTEST_SKIP() << "the sanitizer runtime owns malloc in this build";
  // File name, coefficient copies, filter state, decimator, buffers: several allocations each.
  EXPECT_GE(failEachAllocationOfARead(Fault::moduleHeap, false), 4u);
  EXPECT_GE(failEachAllocationOfARead(Fault::moduleHeap, true), 4u);
}

// trigout: the copy of IO_LIB comes from the host; the pulse request, the
// deadline queue and the timer thread's record from the module's heap.
class PulseAllocationFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = dir_.file("ports.log");
    setenv("SIMPORT_LOG", log_.c_str(), 1);
    mexhost::setGlobal("IO_LIB", mexhost::charArray(PORTLIB_DIR "/simport.so").get());
  }
  void TearDown() override {
    unsetenv("SIMPORT_LOG");
    mexhost::clearGlobal("IO_LIB");
  }
  std::vector<std::string> logLines() {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string l; std::getline(in, l);) lines.push_back(l.substr(l.find(' ') + 1));  // without the time
    return lines;
  }
  // The module keeps the last library it bound loaded until it unloads, so each attempt runs in a
  // module of its own and the library's load count is checked after the unload. Host: until the
  // call gets through. Module heap: each allocation an unfaulted call makes (one it can do
  // without may fail and the pulse still be right). Returns the number of allocations tried.
  size_t failEachAllocation(Fault fault) {
    Array port = mexhost::scalar(888), value = mexhost::scalar(7), duration = mexhost::scalar(1);
    const size_t threads = rel::threads();
    const std::vector<std::string> pulse = {"888 7 sim", "888 0 sim"};
    size_t allocations = 0;
    if (fault == Fault::moduleHeap) {
      mexhost::Module m(TRIGOUT_MODULE);
      EXPECT_TRUE(allocshim::failAllocationIn(TRIGOUT_MODULE, 0));
      EXPECT_FALSE(m.call(0, {port.get(), value.get(), duration.get()}).failed);
      allocations = allocshim::counted();
      allocshim::disarm();
    }
    for (size_t n = 1;; ++n) {
      if (n > 50) {
        ADD_FAILURE() << "the call never got past the failing allocations";
        return n;
      }
      std::remove(log_.c_str());
      Counts before;
      mexhost::Module m(TRIGOUT_MODULE);
      if (fault == Fault::host) mexhost::failHostAllocation(n);
      if (fault == Fault::moduleHeap) {
        EXPECT_TRUE(allocshim::failAllocationIn(TRIGOUT_MODULE, n));
      }
      mexhost::CallResult r = m.call(0, {port.get(), value.get(), duration.get()});
      mexhost::failHostAllocation(0);
      allocshim::disarm();
      m.unload();  // waits for the pulse, ends the module's timer thread
      EXPECT_EQ(rel::threads(), threads) << "allocation " << n;
      EXPECT_FALSE(rel::mapped("/simport.so")) << "allocation " << n << ": the library stayed loaded";
      std::vector<std::string> lines = logLines();
      if (!r.failed) {
        EXPECT_EQ(lines, pulse) << "allocation " << n;
        if (fault == Fault::host) return n - 1;
        if (n >= allocations) return allocations;
        continue;
      }
      if (r.message == "Could not start the pulse thread; a value written by this call was reset.") {
        EXPECT_EQ(lines, pulse) << "allocation " << n;
      } else {
        EXPECT_TRUE(r.message == rel::hostOutOfMemory() ||
                    r.message == "Out of memory for the pulse request." ||
                    r.message == "Out of memory while binding the port library.")
            << "allocation " << n << ": " << r.message;
        EXPECT_TRUE(lines.empty()) << "allocation " << n << ": a port was written by a call that failed";
      }
      expectSameCounts(before, n);
      if (fault == Fault::moduleHeap && n >= allocations) return allocations;
    }
  }
  rel::TempDir dir_;
  std::string log_;
};

TEST_F(PulseAllocationFaults, EachHostAllocationFailsBeforeAnyWriteAndLeavesNothing) {
  EXPECT_EQ(failEachAllocation(Fault::host), 1u);  // the copy of IO_LIB (a short name needs no buffer)
}

TEST_F(PulseAllocationFaults, EachHeapAllocationFailsWithTheLibraryReleasedAndNoThreadLeft) {
  if (!allocshim::available()) GTEST_SKIP() << "the sanitizer runtime owns malloc in this build";
  // The path of the library it keeps, the request, the deadline queue, the thread record.
  EXPECT_GE(failEachAllocation(Fault::moduleHeap), 3u);
}

}  // namespace
