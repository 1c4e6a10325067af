// The outside port I/O library: loading it by file name, its three entry points, its driver.
#ifndef TRIGOUT_PORT_LIBRARY_H
#define TRIGOUT_PORT_LIBRARY_H

#include <atomic>
#include <cstddef>

#include "platform/library.h"

// 32-bit x86 Windows port libraries use the convention in which the callee pops its arguments.
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define TRIGOUT_PORTCALL __stdcall
#else
#define TRIGOUT_PORTCALL
#endif

namespace trig {

using Out32Entry = void(TRIGOUT_PORTCALL*)(short port, short value);
using IsDriverOpenEntry = int(TRIGOUT_PORTCALL*)();
using MessageEntry = const char*(TRIGOUT_PORTCALL*)();
using PortOpenEntry = int(TRIGOUT_PORTCALL*)(short port);

// The entry points of one loaded library.
//  out32        : writes value (zero-extended from 8 bits) to the port's 16-bit address
//  inp32        : looked up and required, never called
//  isDriverOpen : nonzero when the library's port driver is open
//  message      : optional ("PortLibraryMessage"): after isDriverOpen, why the driver is closed,
//                 or, when it is open, a warning to show once; "" when there is nothing to say
//  portOpen     : optional ("PortLibraryPortOpen"): isDriverOpen for the one port a pulse goes
//                 to, asked in its place when the port is known, so that a library driving
//                 several devices never refuses a pulse for another port's fault; message
//                 follows it as it follows isDriverOpen
struct PortLibrary {
  Out32Entry out32 = nullptr;
  void* inp32 = nullptr;
  IsDriverOpenEntry isDriverOpen = nullptr;
  MessageEntry message = nullptr;
  PortOpenEntry portOpen = nullptr;
};

// A loaded library and the number of holders: each bound call (then its pulse) holds it once,
// and the module holds the library of its last successful binding once more, so that the next
// call with the same IO_LIB finds it loaded. The last holder to let go unloads it.
struct LibraryHold {
  platform::LibraryHandle handle = nullptr;
  std::atomic<int> holders{0};
  char* path = nullptr;         // malloc'ed
  PortLibrary entries;          // set once a binding through this hold succeeded (out32 null until then)
  LibraryHold* next = nullptr;  // in the pulse timer's list of holds it let go of (pulse.h)
};

// Lets go of one hold; unloads the library with the last. Any thread.
void releaseHold(LibraryHold* hold);

// Lets go of one hold unless it is the last (then it is still held, and false). Any thread.
bool releaseHoldUnlessLast(LibraryHold* hold);

enum class BindStatus { ok, loadFailed, noOut32, noInp32, noIsDriverOpen, driverClosed, noMemory };

// Binds the library at `path`: loads it (or holds the one already loaded from that path once
// more), resolves "Out32", "Inp32" and "IsInpOutDriverOpen" in that order and asks whether its
// driver is open (for `port` through the library's port-aware check when it has one and port is
// 0 to 65535; through IsInpOutDriverOpen otherwise). On ok, *hold is held once for the caller and *entries
// holds its entries, and `kept`, the module's own hold on the library of its last successful binding, now
// holds this one (the library it held before is let go of). On any failure nothing stays held for the caller
// and *hold is null. Calling thread only. `said` (of `saidSize` bytes) receives what the library's optional
// message export says after the driver check, cut to fit, or "": the reason for driverClosed, a warning with
// ok.
BindStatus openPortLibrary(LibraryHold*& kept, const char* path, int port, LibraryHold** hold,
                           PortLibrary* entries, char* said, size_t saidSize);

// Lets go of the module's own hold (when the module unloads). Calling thread only.
void releaseKeptLibrary(LibraryHold*& kept);

// The message a failed binding raises; null for ok.
const char* bindMessage(BindStatus status);

}  // namespace trig

#endif
