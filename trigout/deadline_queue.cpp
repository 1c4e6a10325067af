#include "deadline_queue.h"

#include <cstdlib>

namespace trig {

namespace {

using Entry = DeadlineQueue::Entry;

bool before(const Entry& a, const Entry& b) {
  return a.dueNs < b.dueNs || (a.dueNs == b.dueNs && a.order < b.order);
}

void swap(Entry& a, Entry& b) {
  Entry t = a;
  a = b;
  b = t;
}

}  // namespace

bool reserveDeadline(DeadlineQueue& q) noexcept {
  if (q.count < q.capacity) return true;
  const size_t capacity = q.capacity ? 2 * q.capacity : 16;
  Entry* grown = static_cast<Entry*>(std::realloc(q.entries, capacity * sizeof(Entry)));
  if (!grown) return false;
  q.entries = grown;
  q.capacity = capacity;
  return true;
}

bool pushDeadline(DeadlineQueue& q, int64_t dueNs, PulseRequest* pulse) noexcept {
  size_t i = q.count++;
  q.entries[i] = Entry{dueNs, q.queued++, pulse};
  while (i > 0) {
    const size_t parent = (i - 1) / 2;
    if (!before(q.entries[i], q.entries[parent])) break;
    swap(q.entries[i], q.entries[parent]);
    i = parent;
  }
  return i == 0;
}

const Entry& earliestDeadline(const DeadlineQueue& q) noexcept { return q.entries[0]; }

PulseRequest* popDeadline(DeadlineQueue& q) noexcept {
  PulseRequest* pulse = q.entries[0].pulse;
  q.entries[0] = q.entries[--q.count];
  size_t i = 0;
  for (;;) {
    const size_t left = 2 * i + 1, right = left + 1;
    size_t first = i;
    if (left < q.count && before(q.entries[left], q.entries[first])) first = left;
    if (right < q.count && before(q.entries[right], q.entries[first])) first = right;
    if (first == i) break;
    swap(q.entries[i], q.entries[first]);
    i = first;
  }
  return pulse;
}

void releaseDeadlineQueue(DeadlineQueue& q) noexcept {
  std::free(q.entries);
  q.entries = nullptr;
  q.count = 0;
  q.capacity = 0;
}

}  // namespace trig
