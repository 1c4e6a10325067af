// Shared libraries loaded by file name at run time.
#ifndef EEGMEX_PLATFORM_LIBRARY_H
#define EEGMEX_PLATFORM_LIBRARY_H

namespace platform {

// A loaded shared library; null when none.
using LibraryHandle = void*;

// Loads a library by file name, raising its load count by one; null on failure. An empty name is
// a failed load (dlopen would give the main program).
LibraryHandle loadLibrary(const char* path) noexcept;
// The named export of a loaded library, or null.
void* findExport(LibraryHandle library, const char* name) noexcept;
// Lowers the load count raised by loadLibrary by one; nothing for null.
void releaseLibrary(LibraryHandle library) noexcept;

}  // namespace platform

#endif
