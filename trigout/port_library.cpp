#include "port_library.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "messages.h"

namespace trig {

namespace {

// Loading a library that is already loaded was most of the call's time in Octave (a walk over
// every object the process has loaded); a library this module holds is not loaded again.
LibraryHold* hold(LibraryHold* kept, const char* path, BindStatus* status) {
  *status = BindStatus::loadFailed;
  if (kept && std::strcmp(kept->path, path) == 0) {
    kept->holders.fetch_add(1, std::memory_order_relaxed);
    return kept;
  }
  platform::LibraryHandle library = platform::loadLibrary(path);
  if (!library) return nullptr;
  size_t n = std::strlen(path) + 1;
  LibraryHold* h = new (std::nothrow) LibraryHold;
  char* copy = static_cast<char*>(std::malloc(n));
  if (!h || !copy) {
    delete h;
    std::free(copy);
    platform::releaseLibrary(library);
    *status = BindStatus::noMemory;
    return nullptr;
  }
  std::memcpy(copy, path, n);
  h->handle = library;
  h->path = copy;
  h->holders.store(1, std::memory_order_relaxed);
  return h;
}

void keep(LibraryHold*& kept, LibraryHold* h) {
  if (h == kept) return;
  h->holders.fetch_add(1, std::memory_order_relaxed);
  LibraryHold* old = kept;
  kept = h;
  if (old) releaseHold(old);
}

}  // namespace

void releaseHold(LibraryHold* h) {
  if (!h || h->holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  platform::releaseLibrary(h->handle);
  std::free(h->path);
  delete h;
}

bool releaseHoldUnlessLast(LibraryHold* h) {
  int n = h->holders.load(std::memory_order_relaxed);
  while (n > 1)
    if (h->holders.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) return true;
  return false;
}

void releaseKeptLibrary(LibraryHold*& kept) {
  LibraryHold* old = kept;
  kept = nullptr;
  releaseHold(old);
}

BindStatus openPortLibrary(LibraryHold*& kept, const char* path, int port, LibraryHold** held,
                           PortLibrary* entries, char* said, size_t saidSize) {
  *held = nullptr;
  *entries = PortLibrary();
  said[0] = '\0';
  BindStatus status;
  LibraryHold* h = hold(kept, path, &status);
  if (!h) return status;

  status = BindStatus::ok;
  PortLibrary found = h->entries;
  if (!found.out32) {
    // Not bound through this hold yet: its entries are looked up once. Its driver is asked
    // again on every call.
    found.out32 = reinterpret_cast<Out32Entry>(platform::findExport(h->handle, "Out32"));
    if (!found.out32) status = BindStatus::noOut32;
    if (status == BindStatus::ok) {
      found.inp32 = platform::findExport(h->handle, "Inp32");
      if (!found.inp32) status = BindStatus::noInp32;
    }
    if (status == BindStatus::ok) {
      found.isDriverOpen =
          reinterpret_cast<IsDriverOpenEntry>(platform::findExport(h->handle, "IsInpOutDriverOpen"));
      if (!found.isDriverOpen) status = BindStatus::noIsDriverOpen;
    }
    if (status == BindStatus::ok) {
      found.message = reinterpret_cast<MessageEntry>(platform::findExport(h->handle, "PortLibraryMessage"));
      found.portOpen =
          reinterpret_cast<PortOpenEntry>(platform::findExport(h->handle, "PortLibraryPortOpen"));
    }
  }
  if (status == BindStatus::ok) {
    const bool portKnown = port >= 0 && port <= 65535 && found.portOpen;
    const int open = portKnown ? found.portOpen(static_cast<short>(port)) : found.isDriverOpen();
    if (open == 0) status = BindStatus::driverClosed;
    // Copied now: letting go of the library below may unload it and its text.
    const char* text = found.message ? found.message() : nullptr;
    if (text) {
      size_t n = std::strlen(text);
      if (n >= saidSize) n = saidSize - 1;
      std::memcpy(said, text, n);
      said[n] = '\0';
    }
  }

  if (status != BindStatus::ok) {
    releaseHold(h);
    return status;
  }
  h->entries = found;  // under the calling thread only, as every binding
  keep(kept, h);
  *held = h;
  *entries = found;
  return BindStatus::ok;
}

const char* bindMessage(BindStatus status) {
  switch (status) {
    case BindStatus::ok: return nullptr;
    case BindStatus::loadFailed: return text(Message::loadFailed);
    case BindStatus::noOut32: return text(Message::noOut32);
    case BindStatus::noInp32: return text(Message::noInp32);
    case BindStatus::noIsDriverOpen: return text(Message::noIsDriverOpen);
    case BindStatus::driverClosed: return text(Message::driverClosed);
    case BindStatus::noMemory: return text(Message::bindingNoMemory);
  }
  return text(Message::loadFailed);
}

}  // namespace trig
