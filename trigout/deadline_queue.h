// The pulses waiting for their next deadline (the delayed write or the reset), earliest first.
#ifndef TRIGOUT_DEADLINE_QUEUE_H
#define TRIGOUT_DEADLINE_QUEUE_H

#include <cstddef>
#include <cstdint>

namespace trig {

struct PulseRequest;

// A binary heap in one array from the process heap, ordered by deadline and, among equal
// deadlines, by the order of queueing: pulses that fall due together are handled in the order
// they were queued. Not locked; the pulse module's lock guards it.
struct DeadlineQueue {
  struct Entry {
    int64_t dueNs;   // monotonic clock
    uint64_t order;  // queueing order
    PulseRequest* pulse;
  };
  Entry* entries = nullptr;
  size_t count = 0;
  size_t capacity = 0;
  uint64_t queued = 0;  // entries ever queued: the order of the next one
};

// Makes room for one more entry. False (the queue unchanged) when there is no memory.
bool reserveDeadline(DeadlineQueue& queue) noexcept;
// Queues `pulse` to fall due at `dueNs`. Needs room: a reserveDeadline or a pop since the last
// push. Returns true when it is now the earliest entry (a waiter on the earliest must look again).
bool pushDeadline(DeadlineQueue& queue, int64_t dueNs, PulseRequest* pulse) noexcept;
// The earliest entry; the queue must not be empty.
const DeadlineQueue::Entry& earliestDeadline(const DeadlineQueue& queue) noexcept;
// Removes the earliest entry and returns its pulse; the queue must not be empty.
PulseRequest* popDeadline(DeadlineQueue& queue) noexcept;
// Frees the array; the queue must be empty. The order count goes on.
void releaseDeadlineQueue(DeadlineQueue& queue) noexcept;

}  // namespace trig

#endif
