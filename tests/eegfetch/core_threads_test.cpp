// Reads beside other threads: a stream cache dropped while another thread reads through it, a read
// stopped between chunks, a target whose elements would share storage (also read online, beside a
// stream), and the processors a read may use.
#include <gtest/gtest.h>
#if defined(__linux__)
#include <sched.h>
#endif

#include <atomic>
#include <thread>

#include "core_reference.h"
#include "online_read.h"
#include "platform/thread.h"

namespace {

using coretest::Case;

Case wideCase(int64_t frames) {
  Case c;
  c.nChans = 16;
  c.binaryFormat = 1;
  c.channels = {3, 0, 15, 7};
  c.scale.assign(16, 0.5);
  c.b = {0.2, 0.3, 0.1};
  c.a = {1.0, -0.4, 0.1};
  c.decimationFactor = 4;
  c.nPoints = frames;
  c.stride = 25;  // the newest 25 outputs
  c.destStart = 0;
  c.destEnd = 24;
  c.srcStart = frames / 4 - 25;
  c.srcEnd = frames / 4 - 1;
  return c;
}

// Every operation on a cache holds its lock: drops from another thread never free a stream a read is
// using, and every read still gives the bits of a full read (going on, or from byte 0 after a drop).
TEST(CoreThreads, ACacheDroppedWhileAnotherThreadReadsThroughIt) {
  std::mt19937_64 rng(3);
  const Case c = wideCase(8000);
  const std::vector<unsigned char> bytes =
      coretest::encode(coretest::randomSamples(rng, 1, size_t(8000 * 16)), 1, false);
  coretest::TempFile file(bytes);
  const std::vector<double> want = coretest::referenceRead(c, bytes, std::vector<double>(100, -1));
  eeg::StreamCache cache;
  std::atomic<bool> stop{false};
  std::thread dropper([&] {
    while (!stop.load()) {
      cache.dropAll();
      const eeg::Stream* held[eeg::kStreamSlots];
      cache.held(held);
    }
  });
  for (int i = 0; i < 200; ++i) {
    std::vector<double> got(100, -1);
    std::FILE* f = std::fopen(file.path().c_str(), "rb");
    ASSERT_TRUE(f);
    eeg::OnlineReport report;
    const eeg::ReadOutcome out =
        eeg::readOnline(cache, f, coretest::planFor(c, got), eeg::nameDigest(file.path().c_str()), report);
    std::fclose(f);
    ASSERT_EQ(out.status, eeg::ReadStatus::ok);
    ASSERT_TRUE(coretest::sameMatrix(want, got)) << "read " << i;
  }
  stop.store(true);
  dropper.join();
}

int g_asked = 0;
int interruptAtThirdAsk() { return ++g_asked >= 3; }

// A read stops between chunks when the host says so: the chunks read are finished, no later one.
TEST(CoreThreads, AnInterruptStopsTheReadBetweenChunks) {
  std::mt19937_64 rng(4);
  Case c = wideCase(20000);
  const std::vector<unsigned char> bytes =
      coretest::encode(coretest::randomSamples(rng, 1, size_t(20000 * 16)), 1, false);
  coretest::TempFile file(bytes);
  std::vector<double> got(100, -1);
  eeg::ReadPlan plan = coretest::planFor(c, got);
  plan.chunkFrames = 1000;
  plan.interruptPending = interruptAtThirdAsk;
  g_asked = 0;
  const eeg::ReadOutcome out = coretest::readWith(file.path(), plan);
  EXPECT_EQ(out.status, eeg::ReadStatus::interrupted);
  EXPECT_EQ(g_asked, 3);
  EXPECT_GE(out.framesRead, 3000);
  EXPECT_LE(out.framesRead, 3000 + 3 * 1000);  // the chunks already posted, at most a ring of them
  EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](double v) { return v == -1; }));  // the newest: unread
}

// A layout whose elements would share storage is refused before anything is written.
TEST(CoreThreads, TargetStepsThatShareStorageAreRefused) {
  EXPECT_TRUE(eeg::targetStepsAreSound(10, 3, 1, 10));
  EXPECT_TRUE(eeg::targetStepsAreSound(10, 3, 3, 1));
  EXPECT_TRUE(eeg::targetStepsAreSound(10, 3, -3, -1));
  EXPECT_TRUE(eeg::targetStepsAreSound(10, 3, 14, 2));
  EXPECT_TRUE(eeg::targetStepsAreSound(1, 3, 0, 1));  // one row: its step is never used
  EXPECT_TRUE(eeg::targetStepsAreSound(0, 0, 0, 0));
  EXPECT_FALSE(eeg::targetStepsAreSound(10, 3, 1, 0));
  EXPECT_FALSE(eeg::targetStepsAreSound(10, 3, 0, 1));
  EXPECT_FALSE(eeg::targetStepsAreSound(10, 3, 1, 1));
  EXPECT_FALSE(eeg::targetStepsAreSound(10, 3, 1, 9));  // column k's last row is column k + 1's first
  EXPECT_FALSE(eeg::targetStepsAreSound(10, 3, 2, 3));  // rows and columns interleave
  EXPECT_FALSE(eeg::targetStepsAreSound(10, 3, 1, -5));

  std::mt19937_64 rng(5);
  const Case c = wideCase(400);
  const std::vector<unsigned char> bytes =
      coretest::encode(coretest::randomSamples(rng, 1, size_t(400 * 16)), 1, false);
  coretest::TempFile file(bytes);
  std::vector<double> storage(100, -1);
  eeg::ReadPlan plan = coretest::planFor(c, storage);
  plan.columnStep = 0;  // what an unset layout was
  EXPECT_EQ(coretest::readWith(file.path(), plan).status, eeg::ReadStatus::readError);
  EXPECT_TRUE(std::all_of(storage.begin(), storage.end(), [](double v) { return v == -1; }));
}

// A plan that readOnline cannot use is refused before the cache is touched: nothing is placed from
// the kept sums, and the stream of the same file and settings goes on at the next usable read.
TEST(CoreThreads, AnUnusablePlanReadOnlineLeavesTheStreamAsItWas) {
  std::mt19937_64 rng(7);
  const Case c = wideCase(800);
  const std::vector<unsigned char> bytes =
      coretest::encode(coretest::randomSamples(rng, 1, size_t(800 * 16)), 1, false);
  coretest::TempFile file(bytes);
  const std::vector<double> want = coretest::referenceRead(c, bytes, std::vector<double>(100, -1));
  const eeg::Digest name = eeg::nameDigest(file.path().c_str());
  eeg::StreamCache cache;
  auto readOnce = [&](eeg::ReadPlan plan, eeg::OnlineReport& report) {
    std::FILE* f = std::fopen(file.path().c_str(), "rb");
    EXPECT_TRUE(f);
    const eeg::ReadOutcome out = f ? eeg::readOnline(cache, f, plan, name, report) : eeg::ReadOutcome{};
    if (f) std::fclose(f);
    return out;
  };
  std::vector<double> got(100, -1);
  eeg::OnlineReport report;
  ASSERT_EQ(readOnce(coretest::planFor(c, got), report).status, eeg::ReadStatus::ok);

  std::vector<double> refused(100, -1);
  eeg::ReadPlan bad = coretest::planFor(c, refused);
  bad.columnStep = 0;  // columns sharing storage; the settings the stream keeps are the same
  ASSERT_EQ(readOnce(bad, report).status, eeg::ReadStatus::readError);
  EXPECT_TRUE(std::all_of(refused.begin(), refused.end(), [](double v) { return v == -1; }));
  const eeg::Stream* held[eeg::kStreamSlots];
  ASSERT_EQ(cache.held(held), 1);
  EXPECT_EQ(held[0]->decimator.frames(), 800);

  std::fill(got.begin(), got.end(), -1);
  ASSERT_EQ(readOnce(coretest::planFor(c, got), report).status, eeg::ReadStatus::ok);
  EXPECT_EQ(report.reason, eeg::FullReadReason::none);
  EXPECT_EQ(report.resumedFrames, 800);
  EXPECT_TRUE(coretest::sameMatrix(want, got));
}

TEST(CoreThreads, ProcessorsTheProcessMayUse) {
  EXPECT_EQ(platform::cpuQuotaProcessors("max 100000\n"), 0);
  EXPECT_EQ(platform::cpuQuotaProcessors("150000 100000\n"), 2);
  EXPECT_EQ(platform::cpuQuotaProcessors("50000 100000"), 1);
  EXPECT_EQ(platform::cpuQuotaProcessors("-1 100000"), 0);
  EXPECT_EQ(platform::cpuQuotaProcessors(""), 0);
#if defined(__linux__)
  cpu_set_t all, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  int first = 0;
  while (!CPU_ISSET(first, &all)) ++first;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);  // this thread, as taskset would the process
  const int counted = platform::processorCount();
  sched_setaffinity(0, sizeof all, &all);
  EXPECT_EQ(counted, 1);
#endif
}

}  // namespace
