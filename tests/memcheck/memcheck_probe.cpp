// A module with one deliberate fault, for showing that the memory checks of the Octave suite
// catch a fault in a module: mexFunction writes one double past the end of a heap buffer.
// Built only when EEGMEX_MEMCHECK_PROBE is on; never shipped.
#include <cstdlib>

#include "mexapi.h"

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)nlhs, (void)plhs, (void)nrhs, (void)prhs;
  volatile std::size_t n = 4;  // not known to the compiler, so the write is not folded away
  double* buffer = static_cast<double*>(std::malloc(n * sizeof(double)));
  if (!buffer) return;
  for (std::size_t i = 0; i <= n; ++i) buffer[i] = 1.0;
  std::free(buffer);
}
