// The pulse timer's queue hands out deadlines earliest first, and deadlines that are equal in the
// order they were queued, checked against a plain reference: the list of live entries kept in
// queueing order, from which the earliest is found by a linear scan.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "deadline_queue.h"

namespace {

trig::PulseRequest* tag(size_t i) { return reinterpret_cast<trig::PulseRequest*>(i + 1); }

struct Live {
  int64_t due;
  trig::PulseRequest* pulse;
};

// The first of the earliest entries in queueing order.
size_t earliestOf(const std::vector<Live>& live) {
  size_t k = 0;
  for (size_t i = 1; i < live.size(); ++i)
    if (live[i].due < live[k].due) k = i;
  return k;
}

}  // namespace

TEST(DeadlineQueue, EarliestFirstAndEqualDeadlinesInQueueingOrder) {
  std::mt19937 rng(77);
  for (int round = 0; round < 20; ++round) {
    trig::DeadlineQueue q;
    std::vector<Live> live;
    size_t pushed = 0;
    // Few distinct deadlines, so most fall due together with others; pushes and pops interleave,
    // and the queue grows past its first array.
    std::uniform_int_distribution<int64_t> due(0, round % 2 ? 3 : 40);
    for (int step = 0; step < 600; ++step) {
      if (live.empty() || rng() % 3 != 0) {
        ASSERT_TRUE(trig::reserveDeadline(q));
        const Live e{due(rng), tag(pushed++)};
        const bool earliest = trig::pushDeadline(q, e.due, e.pulse);
        live.push_back(e);
        EXPECT_EQ(earliest, earliestOf(live) == live.size() - 1) << "step " << step;
      } else {
        const size_t k = earliestOf(live);
        ASSERT_EQ(trig::earliestDeadline(q).dueNs, live[k].due) << "step " << step;
        ASSERT_EQ(trig::popDeadline(q), live[k].pulse) << "step " << step << ": due " << live[k].due;
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
      }
      ASSERT_EQ(q.count, live.size());
    }
    while (!live.empty()) {
      const size_t k = earliestOf(live);
      ASSERT_EQ(trig::popDeadline(q), live[k].pulse);
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
    }
    trig::releaseDeadlineQueue(q);
    EXPECT_EQ(q.entries, nullptr);
  }
}

TEST(DeadlineQueue, AReleasedQueueIsUsedAgainAndKeepsTheQueueingOrder) {
  trig::DeadlineQueue q;
  ASSERT_TRUE(trig::reserveDeadline(q));
  trig::pushDeadline(q, 5, tag(0));
  EXPECT_EQ(trig::popDeadline(q), tag(0));
  trig::releaseDeadlineQueue(q);

  for (size_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(trig::reserveDeadline(q));
    EXPECT_EQ(trig::pushDeadline(q, 5, tag(i)), i == 1) << "an equal deadline queued later is not earlier";
  }
  for (size_t i = 1; i <= 3; ++i) EXPECT_EQ(trig::popDeadline(q), tag(i));
  trig::releaseDeadlineQueue(q);
}
