// The outside port I/O library: loading it by file name, its three entry points, its driver.
#ifndef TRIGOUT_PORT_LIBRARY_H
#define TRIGOUT_PORT_LIBRARY_H

#include "platform.h"

// 32-bit x86 Windows port libraries use the convention in which the callee pops its arguments.
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define TRIGOUT_PORTCALL __stdcall
#else
#define TRIGOUT_PORTCALL
#endif

namespace trig {

using Out32Entry = void(TRIGOUT_PORTCALL*)(short port, short value);
using IsDriverOpenEntry = int(TRIGOUT_PORTCALL*)();

// The entry points of one loaded library.
//  out32        : writes value (zero-extended from 8 bits) to the port's 16-bit address
//  inp32        : looked up and required, never called
//  isDriverOpen : nonzero when the library's port driver is open
struct PortLibrary {
  Out32Entry out32 = nullptr;
  void* inp32 = nullptr;
  IsDriverOpenEntry isDriverOpen = nullptr;
};

// The entries of the most recent binding, overwritten by every binding (an entry that was not
// found is left unset). Pulses never call through it: each keeps the entries of its own library.
extern PortLibrary portLibrary;

enum class BindStatus { ok, loadFailed, noOut32, noInp32, noIsDriverOpen, driverClosed };

// Loads the library at `path` (load count +1), resolves "Out32", "Inp32" and
// "IsInpOutDriverOpen" in that order and asks whether its driver is open.
// On ok, *handle and *entries hold the library and its entries; the caller owns the handle.
// On any failure the library is released again and *handle is null.
BindStatus openPortLibrary(const char* path, LibraryHandle* handle, PortLibrary* entries);

// The library of the last successful binding stays loaded (one reference of the module's own)
// until another library is bound or the module unloads, so that a call does not read the
// library from disk again each time the previous pulse has let go of it.
void releaseKeptLibrary();

// The message a failed binding raises; null for ok.
const char* bindMessage(BindStatus status);

}  // namespace trig

#endif
