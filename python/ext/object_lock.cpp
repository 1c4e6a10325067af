// The registry of what a child of fork() resets, and the extension's at-fork handlers.
#include "object_lock.h"

namespace pyhost {

namespace {
platform::Lock g_registryLock;
ChildReset* g_first = nullptr;

// Held across fork() so that the child finds the list whole; in the child it is given back fresh.
void beforeFork() { platform::lock(g_registryLock); }
void parentAfterFork() { platform::unlock(g_registryLock); }
void childAfterFork() {
  platform::resetLockInChild(g_registryLock);
  runChildResets();
}
}  // namespace

ChildReset::ChildReset(void (*reset)(void*), void* object) noexcept : reset_(reset), object_(object) {
  platform::LockGuard hold(g_registryLock);
  next_ = g_first;
  if (g_first) g_first->previous_ = this;
  g_first = this;
  linked_ = true;
}

ChildReset::~ChildReset() {
  platform::LockGuard hold(g_registryLock);
  if (!linked_) return;
  if (previous_)
    previous_->next_ = next_;
  else
    g_first = next_;
  if (next_) next_->previous_ = previous_;
}

void runChildResets() noexcept {
  for (ChildReset* r = g_first; r; r = r->next_) r->reset_(r->object_);
}

void handleForks() noexcept {
  static bool registered = false;
  if (!registered) registered = platform::atFork(beforeFork, parentAfterFork, childAfterFork);
}

}  // namespace pyhost
