// A module that does nothing: the host's own cost of a call, measured beside the real ones.
#include "mexapi.h"

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)nlhs, (void)plhs, (void)nrhs, (void)prhs;
}
