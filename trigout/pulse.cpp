#include "pulse.h"

namespace trig {

std::atomic<uint8_t> lastWrittenValue{0};

namespace {

// The write and the store of the byte are one step for every other writer of this module.
void writeValue(PulseRequest* r) {
  lockPort();
  r->writtenAtNs = monotonicNowNs();
  r->entries.out32(static_cast<short>(r->port), static_cast<short>(r->value));
  lastWrittenValue.store(r->value, std::memory_order_relaxed);
  unlockPort();
}

// The test and the reset are one step, so a value another call writes in between is never
// cleared.
void resetUnlessOverwritten(PulseRequest* r) {
  lockPort();
  if (lastWrittenValue.load(std::memory_order_relaxed) == r->value) {
    r->entries.out32(static_cast<short>(r->port), 0);
    lastWrittenValue.store(0, std::memory_order_relaxed);
  }
  unlockPort();
}

void release(PulseRequest* r) {
  releaseHold(r->library);
  delete r;
}

int64_t afterMs(int64_t startNs, int32_t ms) { return startNs + static_cast<int64_t>(ms) * 1000000; }

}  // namespace

bool schedulePulse(PulseRequest* r) {
  r->calledAtNs = monotonicNowNs();
  if (r->delay == 0) writeValue(r);
  if (startThread(pulseThread, r)) return true;
  if (r->delay == 0) resetUnlessOverwritten(r);
  release(r);
  return false;
}

void pulseThread(void* p) {
  PulseRequest* r = static_cast<PulseRequest*>(p);
  if (r->delay != 0) {
    sleepUntilNs(afterMs(r->calledAtNs, r->delay));
    writeValue(r);
  }
  sleepUntilNs(afterMs(r->writtenAtNs, r->duration));
  resetUnlessOverwritten(r);
  release(r);
}

void finishPendingPulses() { waitForThreads(); }

}  // namespace trig
