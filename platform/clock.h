// The monotonic clock and an alarm that wakes a thread at an absolute time on it.
#ifndef EEGMEX_PLATFORM_CLOCK_H
#define EEGMEX_PLATFORM_CLOCK_H

#include <cstdint>

namespace platform {

// Monotonic clock in nanoseconds (CLOCK_MONOTONIC; the performance counter on Windows).
int64_t monotonicNowNs() noexcept;

// The deadline of a wait that only a ring ends.
constexpr int64_t kNoDeadline = INT64_MAX;

// Wakes one waiting thread at an absolute deadline, or earlier when another thread rings it.
// Deadlines are absolute, so time spent before the wait (waking, locking, writing) does not
// stretch it. On Windows the wait uses a high-resolution waitable timer where the system has
// one (Windows 10 1803 on), otherwise the system timer's resolution.
struct Alarm;

// Null when the system refuses.
Alarm* createAlarm() noexcept;
// No thread may be waiting on it.
void destroyAlarm(Alarm* alarm) noexcept;
// In a child of fork(): frees an alarm a thread of the parent may have been waiting on, without
// destroying its lock and condition (which would wait for that thread, which the child lacks).
void releaseAlarmInChild(Alarm* alarm) noexcept;
// Returns once monotonicNowNs() >= deadlineNs, or once the alarm has been rung since the last
// wait on it returned (a ring before the wait ends the wait at once; rings in between count
// as one). One waiting thread at a time.
void waitForAlarm(Alarm* alarm, int64_t deadlineNs) noexcept;
// Any thread.
void ringAlarm(Alarm* alarm) noexcept;

}  // namespace platform

#endif
