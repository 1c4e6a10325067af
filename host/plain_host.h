// The hosts that keep values as plain C++ data, the embedded host and the Python host, share one
// definition of the host operations of host/mexapi.h (plain_host.cpp, over plain_array.h). What
// differs between them is declared here and defined by each host: how it raises and warns, and how
// a call keeps the arrays and blocks it made so that it can release them when the call ends.
#ifndef EEGMEX_HOST_PLAIN_HOST_H
#define EEGMEX_HOST_PLAIN_HOST_H

#include <cstddef>

#include "mexapi.h"

namespace plainhost {

// Ends the running call with `text` as its error; never returns (the host jumps back to its call).
[[noreturn]] void raise(const char* text);
// Ends the running call with the host's out-of-memory error.
[[noreturn]] void outOfMemory();
// A warning of the running call; `id` may be null.
void warn(const char* id, const char* text);
// An array the running call made: null, or one the host cannot note, raises out of memory (the
// array is freed first); otherwise the host releases it when the call ends unless it is returned or
// handed to a struct or cell (`disown`). Returns `a`.
mxArray* adopt(mxArray* a);
void disown(mxArray* a);
// The same for a block of mxCalloc; `disownBlock` comes before mxFree frees it.
void* adoptBlock(void* p);
void disownBlock(void* p);
// The n doubles of a matrix made by mxCreateUninitNumericMatrix, which the module is to write.
void leftUnset(double* values, size_t n);

}  // namespace plainhost

#endif
