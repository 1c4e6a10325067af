// Recordings and calls of eegfetch shared by the Linux reference program and the Windows harness:
// the Linux build writes each recording and its result, the Windows builds read the same bytes and
// must return the same bits.
#ifndef EEGMEX_TESTS_WINDOWS_EEGFETCH_CASES_H
#define EEGMEX_TESTS_WINDOWS_EEGFETCH_CASES_H

#include <string>
#include <vector>

#include "mexhost.h"

namespace wincases {

struct EegCase {
  std::string name;
  int format = 1;  // HDR.BinaryFormat: 1 int16, 2 int32, 3 float32
  char endian = 'l';
  int nChans = 1;
  int fs = 1;
  int targetFs = 1;
  int frames = 0;      // whole frames in the file
  int extraBytes = 0;  // a partial frame after the last whole one
  int nPoints = -1;    // HDR.nPoints; -1 leaves the field out (the file length decides)
  std::vector<double> scale, chanidx;
  std::vector<double> filtB, filtA;  // both empty: no filter fields
  std::vector<double> weights;       // empty: no filt_subsample field
};

const std::vector<EegCase>& eegCases();

// The bytes of the case's recording: deterministic pseudo-random samples covering the full range
// of the encoding, in the case's byte order.
std::vector<unsigned char> recordingBytes(const EegCase& c);

mexhost::Array header(const EegCase& c);
mexhost::Array options(const EegCase& c);

// A result as stored next to the recording: rows and columns as 32-bit little-endian integers,
// then the doubles column-major, as their little-endian bytes.
std::vector<unsigned char> encodeResult(const mxArray* result);

}  // namespace wincases

#endif
