// One timer thread keeps every pending pulse: it sleeps until the earliest deadline in the queue
// (a delayed write or a reset), handles every deadline that has passed, and sleeps again. A call
// that queues a deadline earlier than the timer's next wake-up rings the alarm so the timer
// looks again.
//
// With the queue empty, the timer still looks every few milliseconds for a while after the last
// pulse was queued, so that the next call of a burst of pulses (whose reset is seldom due sooner)
// need not ring it: a ring wakes another processor, which cost the call more than the rest of
// its own work. A timer idle for a second sleeps until it is rung.
//
// Deadlines are absolute times on the monotonic clock, so the time the timer spends on other
// pulses never stretches a wait; deadlines that pass while it is busy are handled at once, in
// deadline order. The timer thread runs from the first pulse until the module's unload handler
// ends and joins it, so no code of the module runs after the unload (on Windows too, where a
// module loaded again while its image is still mapped keeps these variables: the handler leaves
// them as a fresh load would).
#include "pulse.h"

#include <new>

namespace trig {

namespace {

constexpr int64_t kLooking = INT64_MIN;
constexpr int64_t kWatchPeriodNs = 5000000;  // the empty queue's look-ups, while watched
constexpr int64_t kWatchForNs = 1000000000;  // how long after the last pulse was queued

// Under the lock: the write and the store of the byte are one step for every other writer.
void writeValue(PulseTimer& t, PulseRequest* r) {
  r->writtenAtNs = platform::monotonicNowNs();
  r->entries.out32(static_cast<short>(r->port), static_cast<short>(r->value));
  t.lastWritten[r->port] = r->value;
  r->written = true;
}

// Under the lock: the test and the reset are one step, so a value another pulse writes to the
// same port in between is never cleared.
void resetUnlessOverwritten(PulseTimer& t, PulseRequest* r) {
  if (t.lastWritten[r->port] == r->value) {
    r->entries.out32(static_cast<short>(r->port), 0);
    t.lastWritten[r->port] = 0;
  }
}

void release(PulseRequest* r) {
  releaseHold(r->library);
  delete r;
}

int64_t afterMs(int64_t startNs, int32_t ms) { return startNs + static_cast<int64_t>(ms) * 1000000; }

// The pulse's next deadline: its delayed write, or its reset.
int64_t nextDeadline(const PulseRequest* r) {
  return r->written ? afterMs(r->writtenAtNs, r->duration) : afterMs(r->calledAtNs, r->delay);
}

void timerRoutine(void* timer) {
  platform::preciseWakeups();  // no timer slack on the pulse widths
  PulseTimer& t = *static_cast<PulseTimer*>(timer);
  platform::lock(t.lock);
  for (;;) {
    int64_t deadline = platform::kNoDeadline;
    const int64_t now = platform::monotonicNowNs();
    if (t.queue.count > 0) {
      deadline = earliestDeadline(t.queue).dueNs;
      if (deadline <= now) {
        PulseRequest* r = popDeadline(t.queue);
        if (!r->written) {
          writeValue(t, r);
          pushDeadline(t.queue, nextDeadline(r), r);  // into the room the pop left
          continue;
        }
        resetUnlessOverwritten(t, r);
        if (!releaseHoldUnlessLast(r->library)) {
          r->library->next = t.parked;  // the calling thread unloads it
          t.parked = r->library;
        }
        delete r;
        continue;
      }
    } else if (t.stopping) {
      break;
    } else if (now - t.lastQueuedNs < kWatchForNs) {
      deadline = now + kWatchPeriodNs;
    }
    t.wakeAtNs = deadline;
    platform::unlock(t.lock);
    platform::waitForAlarm(t.alarm, deadline);
    platform::lock(t.lock);
    t.wakeAtNs = kLooking;
  }
  t.wakeAtNs = platform::kNoDeadline;
  platform::unlock(t.lock);
}

// Under the lock.
bool startTimer(PulseTimer& t) {
  t.alarm = platform::createAlarm();
  if (!t.alarm) return false;
  t.stopping = false;
  t.wakeAtNs = kLooking;  // it looks at the queue as it starts
  if (!platform::startThread(t.thread, timerRoutine, &t)) {
    platform::destroyAlarm(t.alarm);
    t.alarm = nullptr;
    return false;
  }
  t.running = true;
  return true;
}

}  // namespace

ScheduleStatus schedulePulse(PulseTimer& t, PulseRequest* r) {
  platform::lock(t.lock);
  if (!reserveDeadline(t.queue)) {
    platform::unlock(t.lock);
    release(r);
    return ScheduleStatus::noMemory;
  }
  r->calledAtNs = platform::monotonicNowNs();
  if (r->delay == 0) writeValue(t, r);
  if (!t.running && !startTimer(t)) {
    if (r->written) resetUnlessOverwritten(t, r);
    platform::unlock(t.lock);
    release(r);
    return ScheduleStatus::noThread;
  }
  const int64_t deadline = nextDeadline(r);
  pushDeadline(t.queue, deadline, r);
  t.lastQueuedNs = r->calledAtNs;
  // The timer looks by itself before this deadline unless it is asleep until a later time.
  const bool ring = deadline < t.wakeAtNs;
  if (ring) t.wakeAtNs = deadline;
  platform::Alarm* alarm = t.alarm;
  platform::unlock(t.lock);
  if (ring) platform::ringAlarm(alarm);
  return ScheduleStatus::ok;
}

void finishPendingPulses(PulseTimer& t) {
  platform::lock(t.lock);
  const bool running = t.running;
  t.stopping = true;
  platform::unlock(t.lock);
  if (running) {
    platform::ringAlarm(t.alarm);  // an empty queue ends the thread now
    platform::joinThread(t.thread);
    platform::destroyAlarm(t.alarm);
  }
  platform::lock(t.lock);
  t.alarm = nullptr;
  t.running = false;
  t.stopping = false;
  t.wakeAtNs = platform::kNoDeadline;
  releaseDeadlineQueue(t.queue);
  platform::unlock(t.lock);
  releaseParkedLibraries(t);
}

void releaseParkedLibraries(PulseTimer& t) {
  platform::lock(t.lock);
  LibraryHold* h = t.parked;
  t.parked = nullptr;
  platform::unlock(t.lock);
  while (h) {
    LibraryHold* next = h->next;
    h->next = nullptr;
    releaseHold(h);
    h = next;
  }
}

void resetTimerInChild(PulseTimer& t) {
  platform::resetLockInChild(t.lock);
  // The parent's thread does not exist here: its record and its alarm are freed without it. Pulses
  // it had queued are the parent's to end; they stay as they are (their library holds with them),
  // and only an empty queue's storage is freed.
  platform::forgetThreadInChild(t.thread);
  t.thread = platform::Thread();
  platform::releaseAlarmInChild(t.alarm);
  t.alarm = nullptr;
  if (t.queue.count == 0) releaseDeadlineQueue(t.queue);
  t.running = false;
  t.stopping = false;
  t.wakeAtNs = platform::kNoDeadline;
  t.queue = DeadlineQueue();
}

}  // namespace trig
