// The timed pulse: the write of the value (now or after a delay) and the reset to 0 after the
// duration, the waits kept by one timer thread for every pending pulse.
#ifndef TRIGOUT_PULSE_H
#define TRIGOUT_PULSE_H

#include <atomic>
#include <cstdint>

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

// A request holding `args`: the one an ended pulse left for reuse, or a new one from the process
// heap (null without memory). Any thread.
PulseRequest* newPulseRequest(const PulseRequest& args);

enum class ScheduleStatus { ok, noMemory, noThread };

// Takes ownership of `request`: writes the value now when its delay is 0 and queues the pulse's
// next deadline with the timer, starting the timer thread when it is not running. On noMemory
// nothing was written; on noThread a value already written was reset (under the same rule as the
// pulse's own reset). On either failure the library hold and the request are released.
ScheduleStatus schedulePulse(PulseRequest* request);

// Blocks until every pending pulse has ended as scheduled, then ends the timer thread and waits
// until it has left the module's code, and frees the request kept for reuse; the next
// schedulePulse starts it again. The module's unload handler calls it.
void finishPendingPulses();

}  // namespace trig

#endif
