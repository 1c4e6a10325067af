#include "eegfetch_cases.h"

#include <cstdint>
#include <cstring>

namespace wincases {

namespace {

// A fourth-order low-pass (cut-off at a tenth of the rate) and a two-point smoother.
const std::vector<double> kLowB = {0.004824343357716, 0.019297373430865, 0.028946060146297, 0.019297373430865,
                                   0.004824343357716};
const std::vector<double> kLowA = {1.0, -2.369513007182038, 2.313988414415880, -1.054665405878568,
                                   0.187379492368185};

std::vector<double> range(int from, int to) {
  std::vector<double> v;
  for (int i = from; i <= to; ++i) v.push_back(i);
  return v;
}

std::vector<double> scales(int n) {
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(0.1 + 0.037 * i);
  return v;
}

uint32_t next(uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state;
}

void put(std::vector<unsigned char>& out, uint32_t bits, int bytes, char endian) {
  for (int i = 0; i < bytes; ++i) {
    int shift = endian == 'l' ? 8 * i : 8 * (bytes - 1 - i);
    out.push_back(static_cast<unsigned char>(bits >> shift));
  }
}

}  // namespace

const std::vector<EegCase>& eegCases() {
  static const std::vector<EegCase> cases = [] {
    std::vector<EegCase> v;
    EegCase c;
    c.name = "int16_le_lowpass";
    c.format = 1, c.endian = 'l', c.nChans = 8, c.fs = 1000, c.targetFs = 250, c.frames = 4003;
    c.extraBytes = 5;
    c.scale = scales(8), c.chanidx = {3, 1, 8, 3}, c.filtB = kLowB, c.filtA = kLowA;
    v.push_back(c);

    c = EegCase();
    c.name = "int32_be_mean";
    c.format = 2, c.endian = 'b', c.nChans = 5, c.fs = 500, c.targetFs = 100, c.frames = 3000;
    c.nPoints = 2999;
    c.scale = scales(5), c.chanidx = range(1, 5), c.filtB = {0.5, 0.5}, c.filtA = {1.0, 0.0};
    c.weights = {0.2, 0.2, 0.2, 0.2, 0.2};
    v.push_back(c);

    c = EegCase();
    c.name = "float32_le_weighted";
    c.format = 3, c.endian = 'l', c.nChans = 3, c.fs = 2048, c.targetFs = 512, c.frames = 6000;
    c.scale = {1.0, -2.5, 1e-3}, c.chanidx = {2, 3}, c.filtB = kLowB, c.filtA = kLowA;
    c.weights = {0.1, 0.2, 0.3, 0.4};
    v.push_back(c);

    c = EegCase();
    c.name = "float32_be_plain";
    c.format = 3, c.endian = 'b', c.nChans = 2, c.fs = 256, c.targetFs = 256, c.frames = 1500;
    c.scale = {0.5, 3.0}, c.chanidx = {2, 1};
    v.push_back(c);

    c = EegCase();
    c.name = "int16_be_decay";
    c.format = 1, c.endian = 'b', c.nChans = 4, c.fs = 400, c.targetFs = 100, c.frames = 403;
    c.scale = scales(4), c.chanidx = {4}, c.filtB = {1.0, 0.0}, c.filtA = {1.0, -0.5};
    v.push_back(c);

    // Large enough (1.28 million samples) for the reader to split the channels between threads.
    c = EegCase();
    c.name = "int16_le_many_channels";
    c.format = 1, c.endian = 'l', c.nChans = 64, c.fs = 2000, c.targetFs = 500, c.frames = 20000;
    c.scale = scales(64), c.chanidx = {64, 1, 33, 17, 2, 48, 9, 63}, c.filtB = kLowB, c.filtA = kLowA;
    v.push_back(c);
    return v;
  }();
  return cases;
}

std::vector<unsigned char> recordingBytes(const EegCase& c) {
  std::vector<unsigned char> out;
  uint32_t state = 12345u + static_cast<uint32_t>(c.name.size()) * 977u;
  int bytes = c.format == 1 ? 2 : 4;
  for (long i = 0; i < static_cast<long>(c.frames) * c.nChans; ++i) {
    uint32_t r = next(state);
    uint32_t bits;
    if (c.format == 1) {
      bits = r >> 16;  // every int16, sign included
    } else if (c.format == 2) {
      bits = r;
    } else {
      // Finite floats spread over many magnitudes, of both signs.
      float f = static_cast<float>(static_cast<int32_t>(r)) * 1.0e-6f * static_cast<float>(1 + (r & 7));
      std::memcpy(&bits, &f, 4);
    }
    put(out, bits, bytes, c.endian);
  }
  uint32_t state2 = 7u;
  for (int i = 0; i < c.extraBytes; ++i) out.push_back(static_cast<unsigned char>(next(state2) >> 24));
  return out;
}

mexhost::Array header(const EegCase& c) {
  mexhost::Array h = mexhost::structArray();
  mexhost::setField(h.get(), "fs", mexhost::scalar(c.fs));
  mexhost::setField(h.get(), "nChans", mexhost::scalar(c.nChans));
  mexhost::setField(h.get(), "BinaryFormat", mexhost::scalar(c.format));
  if (c.nPoints >= 0) mexhost::setField(h.get(), "nPoints", mexhost::scalar(c.nPoints));
  mexhost::setField(h.get(), "scale", mexhost::rowVector(c.scale));
  mexhost::setField(h.get(), "endian", mexhost::charArray(std::string(1, c.endian)));
  return h;
}

mexhost::Array options(const EegCase& c) {
  mexhost::Array o = mexhost::structArray();
  mexhost::setField(o.get(), "chanidx", mexhost::rowVector(c.chanidx));
  mexhost::setField(o.get(), "fs", mexhost::scalar(c.targetFs));
  if (!c.filtB.empty()) {
    mexhost::setField(o.get(), "filt_b", mexhost::rowVector(c.filtB));
    mexhost::setField(o.get(), "filt_a", mexhost::rowVector(c.filtA));
  }
  if (!c.weights.empty()) mexhost::setField(o.get(), "filt_subsample", mexhost::rowVector(c.weights));
  return o;
}

std::vector<unsigned char> encodeResult(const mxArray* result) {
  std::vector<unsigned char> out;
  put(out, static_cast<uint32_t>(mxGetM(result)), 4, 'l');
  put(out, static_cast<uint32_t>(mxGetN(result)), 4, 'l');
  for (double d : mexhost::values(result)) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    put(out, static_cast<uint32_t>(bits), 4, 'l');
    put(out, static_cast<uint32_t>(bits >> 32), 4, 'l');
  }
  return out;
}

}  // namespace wincases
