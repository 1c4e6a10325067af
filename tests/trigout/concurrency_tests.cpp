// Many pulses at once, with and without delays, on ports of their own. The log is written under
// the module's port lock, so its order is the order the module saw: a reset may only follow the
// write of its own pulse directly (the byte it tests is the last one written). Run under
// ThreadSanitizer by scripts/tsan.sh.
#include <map>
#include <random>

#include "trigout_fixture.h"

TEST_F(Trigout, ConcurrentPulsesNeverClearAValueAnotherCallWrote) {
  constexpr unsigned kPulses = 200;  // values 1..200 stay unique, so each value names its pulse
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> duration(1, 20), delay(0, 6);
  for (unsigned i = 0; i < kPulses; ++i) {
    double d = delay(rng) < 3 ? 0 : delay(rng);
    ASSERT_FALSE(
        pulse({1000.0 + i, static_cast<double>(i + 1), static_cast<double>(duration(rng)), d}).failed);
    if (i % 16 == 0) sleepMs(1);
  }
  std::vector<PortWrite> w = finish();

  std::map<unsigned, int> writes, resets;
  for (size_t k = 0; k < w.size(); ++k) {
    ASSERT_GE(w[k].port, 1000u);
    ASSERT_LT(w[k].port, 1000u + kPulses);
    unsigned own = w[k].port - 1000 + 1;
    if (w[k].value == 0) {
      ++resets[w[k].port];
      ASSERT_GT(k, 0u);
      EXPECT_EQ(w[k - 1], W(w[k].port, own)) << "reset at " << k << " after another call's write";
    } else {
      EXPECT_EQ(w[k].value, own);
      ++writes[w[k].port];
    }
  }
  EXPECT_EQ(writes.size(), kPulses) << "every pulse wrote its value";
  for (const auto& [port, n] : writes) EXPECT_EQ(n, 1) << port;
  for (const auto& [port, n] : resets) EXPECT_EQ(n, 1) << port;
  EXPECT_FALSE(resets.empty());
  EXPECT_EQ(w.back().value, 0u) << "the last pulse written is reset";
}
