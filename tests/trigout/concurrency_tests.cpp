// Many pulses at once, with and without delays, a few ports shared by many calls, every value its
// own. The log is written under the module's port lock, so its order is the order the module saw:
// on each port a reset may only follow the write of its own pulse directly (the byte it tests is
// the last one written to that port), and only once that pulse's duration has passed. Run under
// ThreadSanitizer by scripts/tsan.sh.
#include <map>
#include <random>

#include "trigout_fixture.h"

namespace {

// Every write is a pulse's value, once, or a reset that directly follows, on its port, the write
// of a value whose duration (ms, by value) has passed since.
void expectResetsOnlyAfterTheirOwnWrite(const std::vector<PortWrite>& w,
                                        const std::map<unsigned, int>& durationOf) {
  std::map<unsigned, PortWrite> lastOnPort;
  std::map<unsigned, int> writes;
  int resets = 0;
  for (size_t k = 0; k < w.size(); ++k) {
    const PortWrite& x = w[k];
    if (x.value == 0) {
      ++resets;
      auto before = lastOnPort.find(x.port);
      ASSERT_NE(before, lastOnPort.end()) << "reset at " << k << " before any write to its port";
      ASSERT_NE(before->second.value, 0u) << "reset at " << k << " after a reset";
      const int ms = durationOf.at(before->second.value);
      EXPECT_GE(x.ns - before->second.ns, ms * kMs - kMs / 2)
          << "reset at " << k << " came before " << before->second << " was due: another call's reset";
    } else {
      ASSERT_EQ(durationOf.count(x.value), 1u) << x;
      ++writes[x.value];
    }
    lastOnPort[x.port] = x;
  }
  EXPECT_EQ(writes.size(), durationOf.size()) << "every pulse wrote its value";
  for (const auto& [value, n] : writes) EXPECT_EQ(n, 1) << value;
  for (const auto& [port, last] : lastOnPort) EXPECT_EQ(last.value, 0u) << "port " << port << " left high";
  EXPECT_GT(resets, 0);
}

}  // namespace

TEST_F(Trigout, ConcurrentPulsesNeverClearAValueAnotherCallWrote) {
  std::map<unsigned, int> durationOf;
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> duration(1, 20), delay(0, 6);
  setenv("SIMPORT_WRITE_US", "200", 1);  // slow writes: other writers queue at the port lock meanwhile
  for (unsigned i = 0; i < 200; ++i) {
    double d = delay(rng) < 3 ? 0 : delay(rng);
    const int ms = duration(rng);
    durationOf[i + 1] = ms;
    ASSERT_FALSE(pulse({1000.0 + i % 8, i + 1.0, static_cast<double>(ms), d}).failed);
    if (i % 16 == 0) sleepMs(1);
  }
  expectResetsOnlyAfterTheirOwnWrite(finish(), durationOf);
}

TEST_F(Trigout, AWriteDueWithAResetIsNeverClearedByIt) {
  // Pairs on one port whose delayed write (B) falls due just before the reset (A): a write takes
  // 2 ms, so A tests and resets while or after B writes. Either order of the two is fine; a reset
  // by A directly after B's write (sooner than B's 5 ms) is not.
  std::map<unsigned, int> durationOf;
  setenv("SIMPORT_WRITE_US", "2000", 1);
  for (unsigned k = 0; k < 16; ++k) {
    const double port = 2000 + k;
    durationOf[1 + 2 * k] = 10;
    durationOf[2 + 2 * k] = 5;
    ASSERT_FALSE(pulse({port, 2.0 + 2 * k, 5, 10}).failed);
    ASSERT_FALSE(pulse({port, 1.0 + 2 * k, 10}).failed);
    sleepMs(30);
  }
  expectResetsOnlyAfterTheirOwnWrite(finish(), durationOf);
}
