// What reaches the port and when: the write (now or after the delay), the reset after the
// duration measured from the write, and the reset skipped when another value was written since.
// Timing bounds are generous: a wait may end late on a busy machine, never early.
#include <sys/resource.h>

#include "trigout_fixture.h"

using mexhost::Array;

namespace {
constexpr int64_t kLate = 500 * kMs;  // how late a loaded machine may be

void expectGap(const PortWrite& from, const PortWrite& to, int64_t ms) {
  int64_t gap = to.ns - from.ns;
  EXPECT_GE(gap, ms * kMs - kMs / 2) << from << " -> "
                                     << to;  // the write's own logging may lag its timestamp
  EXPECT_LE(gap, ms * kMs + kLate) << from << " -> " << to;
}

// The writes logged no later than `ns`: those made during a call that returned at `ns`, however
// long reading the log takes afterwards on a slow (sanitized, loaded) machine.
std::vector<PortWrite> madeBy(const std::vector<PortWrite>& log, int64_t ns) {
  std::vector<PortWrite> out;
  for (const PortWrite& w : log)
    if (w.ns <= ns) out.push_back(w);
  return out;
}
}  // namespace

TEST_F(Trigout, WithoutDelayTheValueIsWrittenDuringTheCallAndResetAfterTheDuration) {
  ASSERT_FALSE(pulse({888, 255}).failed);
  const int64_t returned = nowNs();
  std::vector<PortWrite> during = madeBy(log(), returned);
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0], W(888, 255));
  std::vector<PortWrite> w = finish();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[1], W(888, 0));
  expectGap(w[0], w[1], 10);

  clearLog();
  ASSERT_FALSE(pulse({889, 7, 40}).failed);
  w = finish();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0], W(889, 7));
  EXPECT_EQ(w[1], W(889, 0));
  expectGap(w[0], w[1], 40);
}

TEST_F(Trigout, WithADelayNothingIsWrittenDuringTheCall) {
  int64_t before = nowNs();
  ASSERT_FALSE(pulse({888, 1, 50, 20}).failed);
  const int64_t returned = nowNs();
  EXPECT_TRUE(madeBy(log(), returned).empty());
  std::vector<PortWrite> w = finish();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0], W(888, 1));
  EXPECT_EQ(w[1], W(888, 0));
  EXPECT_GE(w[0].ns - before, 20 * kMs);
  EXPECT_LE(w[0].ns - before, 20 * kMs + kLate);
  expectGap(w[0], w[1], 50);
}

TEST_F(Trigout, ValueZeroIsWrittenAndWrittenAgain) {
  ASSERT_FALSE(pulse({888, 0, 15}).failed);
  std::vector<PortWrite> w = finish();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0], W(888, 0));
  EXPECT_EQ(w[1], W(888, 0));
  expectGap(w[0], w[1], 15);
}

TEST_F(Trigout, ANewerValueKeepsTheOlderPulseFromResetting) {
  // Same port, 5 ms apart: 1, then 2, then 0 once the second pulse ends; the first never resets.
  ASSERT_FALSE(pulse({888, 1, 100}).failed);
  sleepMs(5);
  ASSERT_FALSE(pulse({888, 2, 100}).failed);
  std::vector<PortWrite> w = finish();
  ASSERT_EQ(w.size(), 3u) << ::testing::PrintToString(w);
  EXPECT_EQ(w[0], W(888, 1));
  EXPECT_EQ(w[1], W(888, 2));
  EXPECT_EQ(w[2], W(888, 0));
  expectGap(w[1], w[2], 100);

  // Each port keeps its own last value: a pulse on port B within A's pulse leaves A's reset
  // alone, and both ports return to 0 after their own durations.
  clearLog();
  ASSERT_FALSE(pulse({888, 7, 400}).failed);
  sleepMs(5);
  ASSERT_FALSE(pulse({889, 3, 100}).failed);
  w = finish();
  ASSERT_EQ(w.size(), 4u) << ::testing::PrintToString(w);
  EXPECT_EQ(w[0], W(888, 7));
  EXPECT_EQ(w[1], W(889, 3));
  EXPECT_EQ(w[2], W(889, 0));
  EXPECT_EQ(w[3], W(888, 0));
  expectGap(w[1], w[2], 100);
  expectGap(w[0], w[3], 400);

  // A newer value on port B does not spare an older pulse of the same value on port A, and a
  // newer value on A still keeps A's older pulse from resetting while B is left alone.
  clearLog();
  ASSERT_FALSE(pulse({888, 4, 300}).failed);
  ASSERT_FALSE(pulse({889, 4, 60}).failed);
  sleepMs(5);
  ASSERT_FALSE(pulse({888, 6, 100}).failed);
  w = finish();
  ASSERT_EQ(w.size(), 5u) << ::testing::PrintToString(w);
  EXPECT_EQ(w[0], W(888, 4));
  EXPECT_EQ(w[1], W(889, 4));
  EXPECT_EQ(w[2], W(888, 6));
  EXPECT_EQ(w[3], W(889, 0));
  EXPECT_EQ(w[4], W(888, 0));
  expectGap(w[2], w[4], 100);
}

TEST_F(Trigout, ASameValueWrittenAgainIsEndedByTheOlderReset) {
  ASSERT_FALSE(pulse({888, 5, 60}).failed);
  sleepMs(20);
  ASSERT_FALSE(pulse({888, 5, 300}).failed);
  std::vector<PortWrite> w = finish();
  ASSERT_EQ(w.size(), 3u) << ::testing::PrintToString(w);
  EXPECT_EQ(w[2], W(888, 0));
  expectGap(w[0], w[2], 60);  // the first pulse's reset; the second finds 0 and leaves the port alone
}

TEST_F(Trigout, PortAndValueAreTruncatedAndKeepTheirLowBits) {
  struct Case {
    Array port, value;
    unsigned wantPort, wantValue;
  };
  std::vector<Case> cases;
  auto add = [&](Array p, Array v, unsigned wp, unsigned wv) {
    cases.push_back(Case{std::move(p), std::move(v), wp, wv});
  };
  add(mexhost::scalar(888), mexhost::scalar(256), 888, 0);
  add(mexhost::scalar(888), mexhost::scalar(3.7), 888, 3);
  add(mexhost::scalar(888.9), mexhost::scalar(4), 888, 4);
  add(mexhost::scalar(888), mexhost::scalar(-1), 888, 255);
  add(mexhost::scalar(65536 + 890), mexhost::scalar(-3.9), 890, 253);
  add(mexhost::scalar(888), mexhost::scalar(1e10 + 77), 888, (10000000000ull + 77) % 256);
  add(mexhost::numeric(mxUINT8_CLASS, 1, 1, {200}), mexhost::numeric(mxUINT8_CLASS, 1, 1, {200}), 200, 200);
  add(mexhost::numeric(mxUINT16_CLASS, 1, 1, {888}), mexhost::numeric(mxINT16_CLASS, 1, 1, {-2}), 888, 254);
  add(mexhost::numeric(mxSINGLE_CLASS, 1, 1, {888.5}), mexhost::numeric(mxSINGLE_CLASS, 1, 1, {9.9}), 888, 9);
  add(mexhost::numeric(mxINT32_CLASS, 1, 1, {-1}), mexhost::numeric(mxUINT32_CLASS, 1, 1, {4000000001.0}),
      65535, 4000000001u % 256);
  add(mexhost::numeric(mxINT64_CLASS, 1, 1, {891}), mexhost::numeric(mxUINT64_CLASS, 1, 1, {300}), 891, 44);
  add(mexhost::rowVector({892, 1, 2}), mexhost::doubleMatrix(2, 2, {6, 7, 8, 9}), 892, 6);

  for (const Case& c : cases) {
    clearLog();
    Array duration = mexhost::scalar(1);
    ASSERT_FALSE(call(0, {c.port.get(), c.value.get(), duration.get()}).failed);
    std::vector<PortWrite> w = finish();
    ASSERT_EQ(w.size(), 2u) << ::testing::PrintToString(w);
    EXPECT_EQ(w[0], W(c.wantPort, c.wantValue));
    EXPECT_EQ(w[1], W(c.wantPort, 0));
  }
}

TEST_F(Trigout, EachPulseWritesThroughTheLibraryOfItsOwnCall) {
  // A later binding that fails leaves the module-wide entries unset; the waiting pulse still
  // resets through its own library.
  ASSERT_FALSE(pulse({888, 1, 80}).failed);
  useLibrary("simport_noout");
  EXPECT_EQ(pulse({888, 2}).message, "GetProcAddress for Oup32 Failed.\n");
  std::vector<PortWrite> w = finish();
  ASSERT_EQ(w.size(), 2u) << ::testing::PrintToString(w);
  EXPECT_EQ(w[1], W(888, 0, "sim"));

  // IO_LIB names another library while a pulse waits: the older pulse's reset goes through
  // the library it was scheduled with, the newer one's through its own.
  clearLog();
  useLibrary("simport");
  ASSERT_FALSE(pulse({888, 3, 60}).failed);
  useLibrary("simport_b");
  ASSERT_FALSE(pulse({889, 3, 300}).failed);
  w = finish();
  ASSERT_EQ(w.size(), 4u) << ::testing::PrintToString(w);
  EXPECT_EQ(w[0], W(888, 3, "sim"));
  EXPECT_EQ(w[1], W(889, 3, "b"));
  EXPECT_EQ(w[2], W(888, 0, "sim"));
  EXPECT_EQ(w[3], W(889, 0, "b"));
}

TEST_F(Trigout, UnloadingWhilePulsesWaitKeepsEveryResetAndReleasesTheLibraries) {
  size_t threadsBefore = threadCount();
  ASSERT_FALSE(pulse({900, 1, 1}).failed);
  // Its reset is logged (however late a busy machine runs it); the timer thread then waits for
  // another pulse.
  for (int i = 0; i < 500 && log().size() < 2; ++i) sleepMs(10);
  ASSERT_EQ(log().size(), 2u);
  sleepMs(20);
  clearLog();
  int64_t before = nowNs();
  ASSERT_FALSE(pulse({888, 1, 100}).failed);
  ASSERT_FALSE(pulse({889, 2, 100, 150}).failed);
  module_->unload();  // like clear all: the host dlcloses the module right after its exit handler
  int64_t unloadEnded = nowNs();
  std::vector<PortWrite> w = log();
  ASSERT_EQ(w.size(), 4u) << ::testing::PrintToString(w);
  EXPECT_EQ(w[0], W(888, 1));
  EXPECT_EQ(w[1], W(888, 0));
  EXPECT_EQ(w[2], W(889, 2));  // written after its delay
  EXPECT_EQ(w[3], W(889, 0));
  expectGap(w[2], w[3], 100);
  EXPECT_GE(unloadEnded - before, 250 * kMs) << "the unload waited for the last pulse";
  EXPECT_FALSE(isMapped("simport.so")) << "every pulse released its library";
  EXPECT_EQ(threadCount(), threadsBefore) << "no thread of the module outlives it";

  // The module loads and works again.
  module_ = std::make_unique<mexhost::Module>(TRIGOUT_MODULE);
  clearLog();
  ASSERT_FALSE(pulse({888, 9, 1}).failed);
  EXPECT_EQ(finish().size(), 2u);
}

// A sanitizer's runtime needs room of its own in the limited address space (GCC says so with
// __SANITIZE_*__, clang with __has_feature).
#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define TRIGOUT_TESTS_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TRIGOUT_TESTS_SANITIZED 1
#endif

#if !defined(TRIGOUT_TESTS_SANITIZED)
TEST_F(Trigout, AThreadThatCannotStartUndoesItsWriteAndReleasesEverything) {
  // In a fresh child process (no cached thread stacks) whose address space has no room for a
  // thread's stack.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::ifstream statm("/proc/self/statm");
        size_t pages = 0;
        statm >> pages;
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + (4u << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) std::exit(3);
        mexhost::CallResult r = pulse({888, 9, 10});
        std::vector<PortWrite> w = log();
        bool ok = r.failed &&
                  r.message == "Could not start the pulse thread; a value written by this call was reset." &&
                  w.size() == 2 && w[0] == W(888, 9) && w[1] == W(888, 0) && mexhost::liveCallocs() == 0;
        // The delayed pulse writes nothing at all.
        clearLog();
        r = pulse({888, 9, 10, 5});
        ok = ok && r.failed && log().empty();
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
#endif
