// eegfetch(fileName, HDR, OPT): the gateway. Checks the arguments, reads the recording through
// the numeric core into a new matrix or into OPT.data, releases everything, then reports.
//
// Host errors never leave anything behind: they are raised only where nothing of ours is alive.
// Host allocations (the result matrix and its copy) happen while at most the data file is open,
// and that file lives in a module-wide slot: should an allocation error jump out of the call, the
// next call or the module's unload closes it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "mexapi.h"
#include "online_read.h"
#include "reader.h"
#include "reader_call.h"

namespace {

std::FILE* g_dataFile = nullptr;  // the open data file of the call in progress, or null
eeg::StreamCache g_streams;       // what reads with OPT.resume left for the next ones

void closeDataFile() {
  if (g_dataFile) {
    std::fclose(g_dataFile);
    g_dataFile = nullptr;
  }
}

void onUnload() {
  closeDataFile();
  eeg::dropAllStreams(g_streams);
}

void setMessage(char (&message)[eeg::kMessageSize], const char* text) {
  std::snprintf(message, eeg::kMessageSize, "%s", text);
}

// A new m x n double matrix for the caller to fill completely. Where the host can, its elements are
// left unset: no zero fill touches the storage before the read writes it (a first touch of every
// page, on one thread, which costs about as much as the read's own writes).
mxArray* newMatrix(int64_t m, int64_t n) {
#if defined(EEGMEX_HOST_UNINIT_MATRIX)
  return mxCreateUninitNumericMatrix(static_cast<size_t>(m), static_cast<size_t>(n), mxDOUBLE_CLASS, mxREAL);
#else
  return mxCreateDoubleMatrix(static_cast<mwSize>(m), static_cast<mwSize>(n), mxREAL);
#endif
}

// Zeroes rows `first` .. rows - 1 of a rows x columns matrix: in a new matrix, the rows of blocks
// past the end of a short file, which the read does not write.
void zeroRowsFrom(double* target, int64_t rows, int32_t columns, int64_t first) {
  if (first < 0) first = 0;
  if (first >= rows) return;
  for (int32_t k = 0; k < columns; ++k) {
    double* column = target + static_cast<size_t>(k) * static_cast<size_t>(rows);
    std::fill(column + first, column + rows, 0.0);
  }
}

// A numeric vector as doubles: the array's own storage when it holds doubles, otherwise an
// exact copy in `copy`. Null when the copy cannot be allocated.
const double* asDoubles(const mxArray* a, std::unique_ptr<double[]>& copy) {
  if (mxGetClassID(a) == mxDOUBLE_CLASS) return mxGetPr(a);
  size_t n = mxGetNumberOfElements(a);
  copy.reset(new (std::nothrow) double[n ? n : 1]);
  if (!copy) return nullptr;
  for (size_t i = 0; i < n; ++i) copy[i] = eeg::numericElement(a, i);
  return copy.get();
}

// The read with its working storage, all of which is released before this returns. Raises no
// host error; a failure comes back as false with its message. `blocks`: the output samples the read
// completed, counted from the first.
bool runRead(const eeg::ReaderCall& call, std::FILE* file, double* target, int64_t stride, int64_t& blocks,
             char (&message)[eeg::kMessageSize], char (&warning)[eeg::kMessageSize]) {
  const char* outOfMemory = "Not enough memory for the working storage of the read.";
  std::unique_ptr<double[]> scaleCopy, aCopy, bCopy, weightCopy;
  eeg::ReadPlan plan;
  plan.nChans = call.nChans;
  plan.binaryFormat = call.binaryFormat;
  plan.swapBytes = call.endian != 'l';
  plan.nPoints = call.nPoints;
  plan.decimationFactor = call.decimationFactor;
  plan.nSel = call.nSel;
  plan.target = target;
  plan.stride = stride;

  plan.scale = asDoubles(call.scale, scaleCopy);
  if (!plan.scale) return setMessage(message, outOfMemory), false;
  plan.filterLength = call.filterLength;
  if (call.filtA) {
    plan.a = asDoubles(call.filtA, aCopy);
    plan.b = asDoubles(call.filtB, bCopy);
    if (!plan.a || !plan.b) return setMessage(message, outOfMemory), false;
  }
  if (call.weights) {
    plan.weights = asDoubles(call.weights, weightCopy);
    if (!plan.weights) return setMessage(message, outOfMemory), false;
  }
  std::unique_ptr<int32_t[]> channels(new (std::nothrow) int32_t[call.nSel ? call.nSel : 1]);
  if (!channels) return setMessage(message, outOfMemory), false;
  for (int32_t k = 0; k < call.nSel; ++k)
    channels[k] = static_cast<int32_t>(eeg::numericElement(call.chanidx, static_cast<size_t>(k))) - 1;
  plan.channels = channels.get();

  // The window: unset source bounds cover every output sample; a new matrix is filled from row 0.
  int64_t nOut = call.nPoints / call.decimationFactor;
  plan.destStart = call.data ? call.destStart : 0;
  plan.destEnd = call.data ? call.destEnd : nOut;
  plan.srcStart = call.srcStart == -1 ? 0 : call.srcStart;
  plan.srcEnd = call.srcEnd == -1 ? nOut : call.srcEnd;

  // Without OPT.data every output sample is returned, so there is nothing to go on from.
  eeg::ReadOutcome outcome =
      call.resume && call.data ? eeg::readOnline(g_streams, file, plan) : eeg::readRecording(file, plan);
  if (outcome.status == eeg::ReadStatus::outOfMemory) return setMessage(message, outOfMemory), false;
  if (outcome.status == eeg::ReadStatus::readError)
    return setMessage(message, "Could not read the eeg file."), false;
  blocks = outcome.blocks;
  if (outcome.framesRead < call.nPoints) {
    std::snprintf(warning, eeg::kMessageSize,
                  "eegfetch: HDR.nPoints asks for %lld frames but the file holds only %lld whole frames; "
                  "rows of blocks past the end of the file were not written.",
                  static_cast<long long>(call.nPoints), static_cast<long long>(outcome.framesRead));
  }
  return true;
}

// Warns when OPT.data's storage is shared with another value, which the in-place write has changed
// too (a matrix literal in a loop, or X after OPT.data = X). Only a host that can tell warns.
void warnIfShared(const mxArray* data) {
  if (data && eegmexSharedStorage(data) == 1)
    mexWarnMsgIdAndTxt("eegfetch:sharedData",
                       "eegfetch: OPT.data shares its storage with another value (a variable, a constant "
                       "in the code, or a matrix it was cut from), which this call has written too; give "
                       "OPT.data a fresh matrix from zeros, such as zeros(rows, numel(OPT.chanidx)).");
}

}  // namespace

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  closeDataFile();  // still open only when a host allocation error cut an earlier call short
  mexAtExit(onUnload);

  char message[eeg::kMessageSize] = "";
  char warning[eeg::kMessageSize] = "";
  eeg::ReaderCall call;
  if (!eeg::validateCall(nlhs, nrhs, prhs, call, &g_dataFile, message)) {
    mexErrMsgTxt(message);  // the checks have closed the file
    return;
  }

  // Only the data file is open here.
  mxArray* result = nullptr;
  double* target = nullptr;
  int64_t stride = 0;
  if (call.data) {
    target = mxGetPr(call.data);
    stride = call.targetRows;
  } else {
    int64_t nOut = call.nPoints / call.decimationFactor;  // nPoints fits 32 bits, so nOut does
    result = newMatrix(nOut, call.nSel);
    target = mxGetPr(result);
    stride = nOut;
  }

  int64_t blocks = 0;
  bool ok = runRead(call, g_dataFile, target, stride, blocks, message, warning);
  closeDataFile();
  if (!ok) {
    mexErrMsgTxt(message);  // the host releases the unreturned result matrix
    return;
  }

  if (!call.data) {
    // The read wrote rows 0 .. blocks - 1, one per completed block; a short file leaves the rest.
    zeroRowsFrom(target, stride, call.nSel, blocks);
    plhs[0] = result;
  } else if (nlhs >= 1) {
    // The filled matrix as a copy: always safe to use, whatever shares OPT.data's storage.
    size_t m = static_cast<size_t>(call.targetRows), n = static_cast<size_t>(call.nSel);
    mxArray* copy = newMatrix(static_cast<int64_t>(m), static_cast<int64_t>(n));
    if (m * n > 0) std::memcpy(mxGetPr(copy), mxGetPr(call.data), m * n * sizeof(double));
    plhs[0] = copy;
  }
  warnIfShared(call.data);
  if (warning[0]) mexWarnMsgTxt(warning);
}
