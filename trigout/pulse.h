// The timed pulse: the write of the value (now or after a delay) and the reset to 0 after the
// duration, the waits kept by one timer thread for every pending pulse.
#ifndef TRIGOUT_PULSE_H
#define TRIGOUT_PULSE_H

#include <cstdint>

#include "deadline_queue.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "port_library.h"

namespace trig {

// One pulse, from the process heap; owned by the pulse timer once scheduled.
//  port, value : where and what to write
//  duration    : ms from the write of value to the reset
//  delay       : ms from the call to the write of value; 0 writes during the call
//  library     : this call's hold on its library, released by the pulse
//  entries     : that library's entry points, the only ones this pulse calls
struct PulseRequest {
  uint16_t port = 0;
  uint8_t value = 0;
  int32_t duration = 10;
  int32_t delay = 0;
  LibraryHold* library = nullptr;
  PortLibrary entries;
  int64_t calledAtNs = 0;   // when the call scheduled the pulse
  int64_t writtenAtNs = 0;  // when the value was written
  bool written = false;     // the value has been written; the reset is next
};

// The pulses pending and the timer thread that keeps them: part of the module's state, ready when
// it exists. The thread runs from the first pulse until finishPendingPulses, which leaves the
// timer as a fresh one.
struct PulseTimer {
  platform::Lock lock;  // guards the rest, and every port write together with lastWritten
  // The byte this module last wrote to each port; 0 after a reset. A pulse resets its port only
  // while that port still holds the pulse's own value.
  uint8_t lastWritten[65536] = {};
  DeadlineQueue queue;
  platform::Thread thread;
  platform::Alarm* alarm = nullptr;  // exists while the thread runs
  bool running = false;
  bool stopping = false;  // end once the queue is empty
  // When the timer looks at the queue next without being rung; kLooking while it is awake.
  int64_t wakeAtNs = platform::kNoDeadline;
  int64_t lastQueuedNs = 0;  // when a pulse was last queued
  // Library holds the timer let go of last: unloading a library may take long (a port library
  // may close its devices), so the timer thread never does it; the calling thread does.
  LibraryHold* parked = nullptr;
};

enum class ScheduleStatus { ok, noMemory, noThread };

// Takes ownership of `request`: writes the value now when its delay is 0 and queues the pulse's
// next deadline with the timer, starting the timer thread when it is not running. On noMemory
// nothing was written; on noThread a value already written was reset (under the same rule as the
// pulse's own reset). On either failure the library hold and the request are released.
ScheduleStatus schedulePulse(PulseTimer& timer, PulseRequest* request);

// Blocks until every pending pulse has ended as scheduled, then ends the timer thread and waits
// until it has left the module's code; the next schedulePulse starts it again. The module's
// unload handler calls it.
void finishPendingPulses(PulseTimer& timer);

// Lets go of the library holds the timer parked. Calling thread only.
void releaseParkedLibraries(PulseTimer& timer);

// In a child of fork(), before anything else uses the timer: the child has no timer thread, so the
// timer becomes a fresh one (a fresh lock; the next pulse starts a thread of the child's own). The
// parent's pending pulses are forgotten: their writes and resets are the parent's, which still
// writes them. The caller held timer.lock across the fork (or no thread of the parent did).
void resetTimerInChild(PulseTimer& timer);

}  // namespace trig

#endif
