// A module that returns its generation (EEGMEX_RELOAD_GENERATION), built twice for
// test_module_reload.m: which of the two builds runs tells whether a rebuilt module was loaded.
// Its unload handler counts unloads in the environment (EEGMEX_RELOAD_UNLOADS).
#include <cstdio>
#include <cstdlib>

#include "mexapi.h"

namespace {

void onUnload() {
  const char* before = std::getenv("EEGMEX_RELOAD_UNLOADS");
  char count[32];
  std::snprintf(count, sizeof count, "%d", (before ? std::atoi(before) : 0) + 1);
  setenv("EEGMEX_RELOAD_UNLOADS", count, 1);
}

}  // namespace

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)nlhs, (void)nrhs, (void)prhs;
  mexAtExit(onUnload);
  plhs[0] = mxCreateDoubleMatrix(1, 1, mxREAL);
  mxGetPr(plhs[0])[0] = EEGMEX_RELOAD_GENERATION;
}
