// X = eegmex_result(rows, columns): a new double matrix, one value written into each 4 KiB page of
// it, returned. The host's own cost of handing back a result of that size, measured beside eegfetch.
#include <cstddef>

#include "mexapi.h"

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)nlhs;
  if (nrhs != 2) mexErrMsgTxt("Two input arguments required: rows, columns.");
  const double m = mxGetScalar(prhs[0]), n = mxGetScalar(prhs[1]);
  if (!(m >= 0 && m < 2147483648.0 && n >= 0 && n < 2147483648.0))
    mexErrMsgTxt("rows and columns: 0 to 2^31-1.");
  mxArray* result = mxCreateDoubleMatrix(static_cast<mwSize>(m), static_cast<mwSize>(n), mxREAL);
  double* x = mxGetPr(result);
  const size_t count = static_cast<size_t>(m) * static_cast<size_t>(n), perPage = 4096 / sizeof(double);
  for (size_t i = 0; i < count; i += perPage) x[i] = 1.0;
  plhs[0] = result;
}
