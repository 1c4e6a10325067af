// Many pulses at once, with and without delays, each on a port and with a value of its own. The
// log is written under the module's port lock, so its order is the order the module saw: a reset
// may only follow the write of its own pulse directly (the byte it tests is the last one
// written). Run under ThreadSanitizer by scripts/tsan.sh.
#include <map>
#include <random>

#include "trigout_fixture.h"

namespace {

// Every write is its pulse's value or a reset directly after that value; one of each per pulse.
void expectResetsOnlyAfterTheirOwnWrite(const std::vector<PortWrite>& w,
                                        const std::map<unsigned, unsigned>& valueOf) {
  std::map<unsigned, int> writes, resets;
  for (size_t k = 0; k < w.size(); ++k) {
    auto own = valueOf.find(w[k].port);
    ASSERT_NE(own, valueOf.end()) << w[k];
    if (w[k].value == 0) {
      ++resets[w[k].port];
      ASSERT_GT(k, 0u);
      EXPECT_EQ(w[k - 1], W(w[k].port, own->second)) << "reset at " << k << " after another call's write";
    } else {
      EXPECT_EQ(w[k].value, own->second);
      ++writes[w[k].port];
    }
  }
  EXPECT_EQ(writes.size(), valueOf.size()) << "every pulse wrote its value";
  for (const auto& [port, n] : writes) EXPECT_EQ(n, 1) << port;
  for (const auto& [port, n] : resets) EXPECT_EQ(n, 1) << port;
  EXPECT_FALSE(resets.empty());
}

}  // namespace

TEST_F(Trigout, ConcurrentPulsesNeverClearAValueAnotherCallWrote) {
  std::map<unsigned, unsigned> valueOf;
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> duration(1, 20), delay(0, 6);
  setenv("SIMPORT_WRITE_US", "200", 1);  // slow writes: other writers queue at the port lock meanwhile
  for (unsigned i = 0; i < 200; ++i) {
    double d = delay(rng) < 3 ? 0 : delay(rng);
    valueOf[1000 + i] = i + 1;
    ASSERT_FALSE(pulse({1000.0 + i, i + 1.0, static_cast<double>(duration(rng)), d}).failed);
    if (i % 16 == 0) sleepMs(1);
  }
  std::vector<PortWrite> w = finish();
  expectResetsOnlyAfterTheirOwnWrite(w, valueOf);
  EXPECT_EQ(w.back().value, 0u) << "the last pulse written is reset";
}

TEST_F(Trigout, AWriteDueWithAResetIsNeverClearedByIt) {
  // Pairs whose delayed write (B) falls due just before the reset (A): a write takes 2 ms, so A
  // tests and resets while or after B writes. Either order of the two is fine; a reset of A
  // directly after B's write is not.
  std::map<unsigned, unsigned> valueOf;
  setenv("SIMPORT_WRITE_US", "2000", 1);
  for (unsigned k = 0; k < 16; ++k) {
    unsigned a = 2000 + 2 * k, b = a + 1;
    valueOf[a] = 1 + 2 * k;
    valueOf[b] = 2 + 2 * k;
    ASSERT_FALSE(pulse({static_cast<double>(b), 2.0 + 2 * k, 5, 10}).failed);
    ASSERT_FALSE(pulse({static_cast<double>(a), 1.0 + 2 * k, 10}).failed);
    sleepMs(30);
  }
  expectResetsOnlyAfterTheirOwnWrite(finish(), valueOf);
}
