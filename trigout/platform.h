// What the pulse module needs from the operating system, in one small interface with one
// implementation per system: platform_posix.cpp (Linux, Octave, the embedded host) and
// platform_windows.cpp (the Windows builds).
#ifndef TRIGOUT_PLATFORM_H
#define TRIGOUT_PLATFORM_H

#include <cstdint>

namespace trig {

// A loaded shared library; null when none.
using LibraryHandle = void*;

// Loads a library by file name, raising its load count by one; null on failure.
LibraryHandle loadLibrary(const char* path);
// The named export of a loaded library, or null.
void* findExport(LibraryHandle library, const char* name);
// Lowers the load count raised by loadLibrary by one.
void releaseLibrary(LibraryHandle library);

// Monotonic clock in nanoseconds (the clock the waits are measured on).
int64_t monotonicNowNs();
// Waits until the monotonic clock reaches `deadlineNs`; returns at once when it has passed.
// Deadlines are absolute, so time spent before the wait (waking, locking, writing) does not
// stretch it.
void sleepUntilNs(int64_t deadlineNs);

// Starts `routine(arg)` on a new thread that runs on its own; the caller does not wait for it.
// Returns false when no thread could be started (then `routine` never runs).
// The module's code stays mapped until every such thread has left it: on Windows each thread
// holds its own reference on the module, taken before it starts; on POSIX the module's unload
// handler calls waitForThreads(), which joins them.
bool startThread(void (*routine)(void*), void* arg);
// Blocks until every routine started by startThread has returned (so every pending pulse has
// written its reset) and, on POSIX, every thread has left the module's code; parked threads end
// at once. The unload handler calls it on every platform.
void waitForThreads();

// A process-wide lock for the port write and the module-wide byte; never held across a wait.
void lockPort();
void unlockPort();

}  // namespace trig

#endif
