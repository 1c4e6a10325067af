// Locks of the Python extension's objects, and what a child of fork() does with them.
//
// No lock spans the extension: each piece of state that several Python threads may reach carries
// its own lock (the pattern of platform/sync.h), and only calls that share that state take turns.
// A module keeps its own state under its own locks (eegfetch's stream cache, trigout's timer); an
// object of the extension (a Stream's stream cache, a decimator) holds an ObjectLock, or a lock of
// its own state, and every method that touches the state holds it through WithoutGil.
//
// Order: the interpreter lock (GIL) is always let go BEFORE an object's lock is waited for, and
// taken again only after it is given back. A thread that holds an object's lock may take the GIL
// briefly (a read checking for Ctrl-C); a thread waiting for the object's lock never holds the GIL.
//
// fork(): the child has only the forking thread, so a lock that another thread held stays held for
// ever. Every object registers a ChildReset, which runs in the child (pthread_atfork, before any
// Python code) and gives it a fresh lock; an object whose lock was held at the fork forgets the
// state that thread was changing.
#ifndef EEGMEX_HOST_PYTHON_OBJECT_LOCK_H
#define EEGMEX_HOST_PYTHON_OBJECT_LOCK_H

#include <pybind11/pybind11.h>

#include "platform/sync.h"

namespace pyhost {

// Registers `reset(object)` to run in each child of fork() while it exists. Construct and destroy
// with the GIL held or not; the registry has a lock of its own, held only briefly.
class ChildReset {
 public:
  ChildReset(void (*reset)(void*), void* object) noexcept;
  ~ChildReset();
  ChildReset(const ChildReset&) = delete;
  ChildReset& operator=(const ChildReset&) = delete;

 private:
  friend void runChildResets() noexcept;
  void (*reset_)(void*);
  void* object_;
  ChildReset* next_ = nullptr;
  ChildReset* previous_ = nullptr;
  bool linked_ = false;
};

// Runs every registered reset; the extension's at-fork child handler calls it.
void runChildResets() noexcept;
// Registers the extension's at-fork handlers (once; at import).
void handleForks() noexcept;

// The lock of one object's state. In a child whose parent had it held, `heldAtFork` is set and
// the lock is free: the object's methods then start from a fresh state.
class ObjectLock {
 public:
  ObjectLock() noexcept : reset_(&ObjectLock::resetInChild, this) {}
  platform::Lock lock;
  bool heldAtFork = false;

 private:
  static void resetInChild(void* self) noexcept {
    ObjectLock& o = *static_cast<ObjectLock*>(self);
    if (platform::tryLock(o.lock)) {
      platform::unlock(o.lock);
      return;
    }
    platform::resetLockInChild(o.lock);
    o.heldAtFork = true;
  }
  ChildReset reset_;
};

// Holds a lock for its scope without the GIL: the GIL is let go first and taken again last.
class WithoutGil {
 public:
  explicit WithoutGil(platform::Lock& lock) : hold_(lock) {}
  explicit WithoutGil(ObjectLock& object) : hold_(object.lock) {}

 private:
  pybind11::gil_scoped_release release_;  // constructed first, destroyed last
  platform::LockGuard hold_;
};

}  // namespace pyhost

#endif
