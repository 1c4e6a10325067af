// Argument checks of one eegfetch call and the per-call state they fill.
//
// The checks read the arguments into plain data and hold nothing but the data file: no heap
// storage, no object with a destructor. A failing check closes the file and hands its message
// back in a plain char buffer, so the gateway can raise it with nothing left alive.
#ifndef EEGFETCH_READER_CALL_H
#define EEGFETCH_READER_CALL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "messages.h"
#include "mexapi.h"
#include "stream_state.h"

namespace eeg {

constexpr int kMaxThreads = 16;  // OPT.threads and EEGMEX_NUM_THREADS at most

// One call's state. Arrays are borrowed from the caller's arguments for the call.
struct ReaderCall {
  int32_t fs = 0;            // HDR.fs, >= 1; with records and HDR.channelFs, the selection's rate
  int32_t nChans = 0;        // HDR.nChans, >= 1
  int32_t binaryFormat = 0;  // 1 int16, 2 int32, 3 float32
  int32_t bytesPerSample = 0;
  int64_t dataOffset = 0;                  // HDR.dataOffset: bytes before the first frame
  const mxArray* recordSamples = nullptr;  // HDR.recordSamples (1 x nChans) or null: multiplexed
  int64_t recordBytes = 0;
  const mxArray* offset = nullptr;  // HDR.offset (1 x nChans) or null
  // HDR.channelFs (1 x nChans) or null. With records, the selection is read at its channels' rate:
  // fs is then that rate, and nPoints and OPT.fs count that channel's samples.
  const mxArray* channelFs = nullptr;
  int64_t nPoints = 0;  // frames to read: HDR.nPoints or whole frames in the file, >= 0
  bool nPointsFromFile = false;
  const mxArray* scale = nullptr;    // HDR.scale: 1 x nChans, any real numeric class
  char endian = 'l';                 // 'l' or 'b'
  const mxArray* chanidx = nullptr;  // OPT.chanidx: 1 x nSel, each entry 1..nChans after truncation
  int32_t nSel = 0;
  int32_t targetRate = 0;  // OPT.fs, >= 1
  int32_t decimationFactor = 1;
  mxArray* data = nullptr;  // OPT.data (a real double matrix) or null
  int64_t targetRows = 0;
  // Placement window, 0-based and inclusive; -1 in the source bounds stands for "not set".
  int32_t destStart = 0, destEnd = 0, srcStart = -1, srcEnd = -1;
  int32_t filterLength = 1;        // L
  const mxArray* filtA = nullptr;  // null (with filtB) for the identity filter
  const mxArray* filtB = nullptr;
  const mxArray* sos = nullptr;  // OPT.sos (sections x 6), or null
  int32_t sections = 0;
  const mxArray* weights = nullptr;  // OPT.filt_subsample, or null for the last frame of a block
  bool resume = false;               // OPT.resume: the call may go on from an earlier call's state
  bool newest = false;               // OPT.newest: the newest output samples fill OPT.data's last rows
  bool newRows = false;  // OPT.newRows: the output samples no earlier call returned, as a new matrix
  // Of those, [first, end), from the frames there when the call began: set by the gateway before the read.
  int64_t newRowsFirst = 0, newRowsEnd = 0, newRowsFrames = 0;
  bool hasDataPos = false;
  int32_t threads = 0;  // OPT.threads: the most threads the read uses; 0: not set
  Digest fileName;      // nameDigest of the file name
  // A stream's settings (validateStreamSetup): HDR without the file's fields (BinaryFormat, endian,
  // dataOffset, recordSamples, nPoints, channelFs), OPT without data, dataPos, resume and newest.
  bool stream = false;
};

// Runs every check in order. On success returns true with `call` filled and the data file open
// in `*file`. On failure returns false with the data file closed (`*file` null) and the message
// in `message`. Raises no host error.
bool validateCall(int nlhs, int nrhs, const mxArray* prhs[], ReaderCall& call, std::FILE** file,
                  char (&message)[kMessageSize]);

// The checks of HDR and OPT for a stream of chunks (eegmex_decimate), in the same order and with
// the same messages as validateCall's for the fields they share. Same contract, without a file.
bool validateStreamSetup(const mxArray* hdr, const mxArray* opt, ReaderCall& call,
                         char (&message)[kMessageSize]);

// Reads element `i` of a real numeric array of any class as a double (exact for every class but
// 64-bit integers without a double of their own, which the checks reject).
double numericElement(const mxArray* a, size_t i);

// Writes the sections of a checked call (call.sections of them, the host's column-major K x 6 matrix)
// row by row into `rows` (6 * call.sections doubles), the layout DecimatorSetup::sos takes.
void sosRowsOf(const ReaderCall& call, double* rows);

}  // namespace eeg

#endif
