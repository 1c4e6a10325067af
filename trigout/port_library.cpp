#include "port_library.h"

#include <cstdlib>
#include <cstring>

namespace trig {

PortLibrary portLibrary;

namespace {

LibraryHandle g_kept = nullptr;
char* g_keptPath = nullptr;  // malloc'ed

void keepLoaded(const char* path) {
  if (g_keptPath && std::strcmp(g_keptPath, path) == 0) return;
  releaseKeptLibrary();
  size_t n = std::strlen(path) + 1;
  g_keptPath = static_cast<char*>(std::malloc(n));
  if (!g_keptPath) return;
  std::memcpy(g_keptPath, path, n);
  g_kept = loadLibrary(path);
}

}  // namespace

void releaseKeptLibrary() {
  releaseLibrary(g_kept);
  g_kept = nullptr;
  std::free(g_keptPath);
  g_keptPath = nullptr;
}

BindStatus openPortLibrary(const char* path, LibraryHandle* handle, PortLibrary* entries) {
  *handle = nullptr;
  *entries = PortLibrary();
  LibraryHandle library = loadLibrary(path);
  if (!library) return BindStatus::loadFailed;

  BindStatus status = BindStatus::ok;
  portLibrary.out32 = reinterpret_cast<Out32Entry>(findExport(library, "Out32"));
  if (!portLibrary.out32) status = BindStatus::noOut32;
  if (status == BindStatus::ok) {
    portLibrary.inp32 = findExport(library, "Inp32");
    if (!portLibrary.inp32) status = BindStatus::noInp32;
  }
  if (status == BindStatus::ok) {
    portLibrary.isDriverOpen = reinterpret_cast<IsDriverOpenEntry>(findExport(library, "IsInpOutDriverOpen"));
    if (!portLibrary.isDriverOpen) status = BindStatus::noIsDriverOpen;
  }
  if (status == BindStatus::ok && portLibrary.isDriverOpen() == 0) status = BindStatus::driverClosed;

  if (status != BindStatus::ok) {
    // The library goes again, so no entry may keep pointing into it.
    portLibrary = PortLibrary();
    releaseLibrary(library);
    return status;
  }
  keepLoaded(path);
  *handle = library;
  *entries = portLibrary;
  return BindStatus::ok;
}

const char* bindMessage(BindStatus status) {
  switch (status) {
    case BindStatus::ok: return nullptr;
    case BindStatus::loadFailed: return "LoadLibrary Failed. Check IO_LIB.\n";
    case BindStatus::noOut32: return "GetProcAddress for Oup32 Failed.\n";
    case BindStatus::noInp32: return "GetProcAddress for Inp32 Failed.\n";
    case BindStatus::noIsDriverOpen: return "GetProcAddress for IsOpen Failed.\n";
    case BindStatus::driverClosed:
      return "Parellel Port library is not loaded.(Try running as an administrator).\n";
  }
  return "Unknown binding failure.\n";
}

}  // namespace trig
