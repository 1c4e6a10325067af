// One timer thread keeps every pending pulse: it handles deadlines that fall due together in
// deadline order, ends with the module's unload and starts again with the next pulse, also when
// the module's image (and so its variables) outlived the unload.
#include "trigout_fixture.h"

TEST_F(Trigout, PulsesFallingDueTogetherAreAllHandledInDeadlineOrder) {
  // Every write takes 3 ms, so the delayed writes of these calls (made within a fraction of
  // that) are all due while the timer is still writing the first: it writes them back to back,
  // in the order they fell due, which is the order of the calls.
  setenv("SIMPORT_WRITE_US", "3000", 1);
  const unsigned n = 8;
  for (unsigned i = 0; i < n; ++i) ASSERT_FALSE(pulse({1000, 1.0 + i, 60, 5}).failed);
  std::vector<PortWrite> w = finish();
  ASSERT_EQ(w.size(), n + 1) << ::testing::PrintToString(w);
  for (unsigned i = 0; i < n; ++i) EXPECT_EQ(w[i], W(1000, 1 + i)) << "write " << i;
  // Only the newest value is still on the port when the resets fall due.
  EXPECT_EQ(w[n], W(1000, 0));
}

TEST_F(Trigout, OneTimerThreadKeepsEveryPendingPulseUntilTheUnload) {
  const size_t before = threadCount();
  for (unsigned i = 0; i < 40; ++i) ASSERT_FALSE(pulse({1000, 1, 300, i % 2 ? 30.0 : 0.0}).failed);
  EXPECT_EQ(threadCount(), before + 1);
  module_->unload();
  EXPECT_EQ(threadCount(), before) << "the timer thread outlives the unload";
  std::vector<PortWrite> w = log();
  ASSERT_EQ(w.size(), 41u) << "every value and the one reset its rule allows";
  EXPECT_EQ(w.back().value, 0u);

  // Each load starts it again with its first pulse.
  for (int round = 0; round < 5; ++round) {
    clearLog();
    module_ = std::make_unique<mexhost::Module>(TRIGOUT_MODULE);
    ASSERT_FALSE(pulse({888, 3, 2}).failed);
    module_->unload();
    EXPECT_EQ(log().size(), 2u) << "round " << round;
    EXPECT_EQ(threadCount(), before) << "round " << round;
  }
}

TEST_F(Trigout, AModuleStillMappedAfterItsUnloadStartsItsTimerAgain) {
  // A second handle keeps the image mapped through the first one's unload, with its variables,
  // as Windows does when a cleared module is loaded again at once.
  const size_t before = threadCount();
  mexhost::Module again(TRIGOUT_MODULE);
  ASSERT_FALSE(pulse({888, 5, 30}).failed);
  module_->unload();
  EXPECT_EQ(log().size(), 2u) << "the unload waited for the pulse";
  EXPECT_EQ(threadCount(), before);

  clearLog();
  ASSERT_FALSE(
      again.call(0, {mexhost::scalar(889).get(), mexhost::scalar(6).get(), mexhost::scalar(20).get()})
          .failed);
  EXPECT_EQ(threadCount(), before + 1);
  again.unload();
  std::vector<PortWrite> w = log();
  ASSERT_EQ(w.size(), 2u) << ::testing::PrintToString(w);
  EXPECT_EQ(w[0], W(889, 6));
  EXPECT_EQ(w[1], W(889, 0));
  EXPECT_EQ(threadCount(), before);
}
