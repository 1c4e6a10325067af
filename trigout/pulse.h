// The timed pulse: the write of the value (now or after a delay), the wait, and the reset to 0
// on a thread of its own.
#ifndef TRIGOUT_PULSE_H
#define TRIGOUT_PULSE_H

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "port_library.h"

namespace trig {

// One pulse, from the process heap; owned by its pulse thread once scheduled.
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
};

// The byte this module last wrote to any port; 0 after a reset. Written only under the port
// lock together with the write it records.
extern std::atomic<uint8_t> lastWrittenValue;

// Takes ownership of `request`: writes the value now when its delay is 0, then starts
// pulseThread on it. Returns false when no thread could be started; then a value already
// written is reset (under the same rule as the pulse's own reset), and the library handle and
// the request are released.
bool schedulePulse(PulseRequest* request);

// The thread routine: optional delayed write, wait, reset unless another value was written
// since, release of the library and the request.
void pulseThread(void* request);

// Blocks until every pending pulse has ended as scheduled (used before the module unloads).
void finishPendingPulses();

}  // namespace trig

#endif
