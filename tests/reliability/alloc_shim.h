// Heap allocation failure for code loaded from one shared object (a module the embedded host
// loaded with dlopen), without LD_PRELOAD: this test program defines malloc, calloc, realloc and
// the operator new family itself, and the dynamic linker binds every library's references to
// them. Allocations made from inside the chosen object are counted; the chosen one fails (null,
// or std::bad_alloc for the throwing operator new). Everything else goes to the C library.
// Not available in sanitizer builds, whose runtimes own malloc.
#ifndef EEGMEX_RELIABILITY_ALLOC_SHIM_H
#define EEGMEX_RELIABILITY_ALLOC_SHIM_H

#include <cstddef>
#include <string>

namespace allocshim {

bool available();
// From now on allocation number `n` (1-based) made by code mapped from `objectPath` fails;
// n = 0 only counts. Returns false when the object is not mapped.
bool failAllocationIn(const std::string& objectPath, size_t n);
void disarm();
// Allocations counted since failAllocationIn.
size_t counted();

}  // namespace allocshim

#endif
