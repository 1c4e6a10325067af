// The tests' one reference read: deliberately plain, one frame at a time, written from the file format
// and the arithmetic alone (decode, direct form II transposed filter per channel, or a cascade of
// second-order sections in the order of scipy.signal.sosfilt, weighted block sum,
// scale, windowed placement), with its own encoder for writing test recordings. The core tests, the
// gateway tests and the reader fuzz target compare the real reader with it bit for bit.
#ifndef TESTS_EEGFETCH_REFERENCE_READ_H
#define TESTS_EEGFETCH_REFERENCE_READ_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ref {

struct Plan {
  int nChans = 1;
  int binaryFormat = 1;  // 1 int16, 2 int32, 3 float32, 4 int24
  bool swapBytes = false;
  int64_t dataOffset = 0;              // bytes before the first frame
  std::vector<int32_t> recordSamples;  // empty: multiplexed frames; else samples per record per channel
  std::vector<double> offset;          // empty: none; else the filter takes x * scale + offset
  int64_t nPoints = 0;
  std::vector<double> b, a;  // empty: identity filter
  std::vector<double> sos;   // or second-order sections, rows of [b0 b1 b2 a0 a1 a2] row by row
  int decimationFactor = 1;
  std::vector<double> weights;    // empty: the last frame of each block alone
  std::vector<int32_t> channels;  // 0-based
  std::vector<double> scale;      // nChans
  int64_t stride = 0;
  int64_t destStart = 0, destEnd = 0, srcStart = 0, srcEnd = 0;
};

struct Result {
  int64_t framesRead = 0;
  int64_t blocks = 0;
};

// Encodes exact values of the format's type (int16, int32 or float32), in either byte order.
inline std::vector<unsigned char> encode(const std::vector<double>& samples, int format, bool bigEndian) {
  std::vector<unsigned char> out;
  const int width = format == 1 ? 2 : format == 4 ? 3 : 4;
  out.reserve(samples.size() * static_cast<size_t>(width));
  for (double v : samples) {
    uint32_t bits = 0;
    if (format == 1) {
      bits = static_cast<uint16_t>(static_cast<int16_t>(v));
    } else if (format == 4) {
      bits = static_cast<uint32_t>(static_cast<int32_t>(v)) & 0xFFFFFFu;
    } else if (format == 2) {
      bits = static_cast<uint32_t>(static_cast<int32_t>(v));
    } else {
      const float f = static_cast<float>(v);
      std::memcpy(&bits, &f, 4);
    }
    for (int i = 0; i < width; ++i)
      out.push_back(static_cast<unsigned char>(bits >> 8 * (bigEndian ? width - 1 - i : i)));
  }
  return out;
}

inline double decodeSample(const unsigned char* p, int format, bool swap) {
  unsigned char s[4];
  int n = format == 1 ? 2 : format == 4 ? 3 : 4;
  for (int i = 0; i < n; ++i) s[i] = swap ? p[n - 1 - i] : p[i];
  if (format == 1) {
    uint16_t u = static_cast<uint16_t>(s[0] | (s[1] << 8));
    return static_cast<double>(static_cast<int16_t>(u));
  }
  if (format == 4) {  // two's complement in 24 bits
    const int32_t v = s[0] | (s[1] << 8) | (s[2] << 16);
    return static_cast<double>(v >= 0x800000 ? v - 0x1000000 : v);
  }
  uint32_t u = static_cast<uint32_t>(s[0]) | (static_cast<uint32_t>(s[1]) << 8) |
               (static_cast<uint32_t>(s[2]) << 16) | (static_cast<uint32_t>(s[3]) << 24);
  if (format == 2) return static_cast<double>(static_cast<int32_t>(u));
  float f;
  std::memcpy(&f, &u, 4);
  return static_cast<double>(f);
}

// `file` holds the whole recording; `target` has stride x channels.size() doubles.
inline Result read(const std::vector<unsigned char>& file, const Plan& p, double* target) {
  Result r;
  const int bytes = p.binaryFormat == 1 ? 2 : p.binaryFormat == 4 ? 3 : 4;
  const bool records = !p.recordSamples.empty();
  // A unit is a frame, or a record of `perRecord` frames; only whole units count.
  const int64_t perRecord = records && !p.channels.empty() ? p.recordSamples[size_t(p.channels[0])] : 1;
  std::vector<int64_t> start(size_t(p.nChans), 0);  // of each channel within a unit, in samples
  int64_t unitSamples = 0;
  for (int c = 0; c < p.nChans; ++c) {
    start[size_t(c)] = unitSamples;
    unitSamples += records ? p.recordSamples[size_t(c)] : 1;
  }
  const int64_t unitBytes = unitSamples * bytes;
  const int64_t data = static_cast<int64_t>(file.size()) - p.dataOffset;
  const int64_t whole = data > 0 ? data / unitBytes * perRecord : 0;
  const int64_t frames = p.nPoints < whole ? p.nPoints : whole;
  const size_t L = p.b.empty() ? 1 : p.b.size();
  std::vector<double> b = p.b.empty() ? std::vector<double>{1.0} : p.b;
  std::vector<double> a = p.a.empty() ? std::vector<double>{1.0} : p.a;
  std::vector<double> w = p.weights;
  if (w.empty()) {
    w.assign(static_cast<size_t>(p.decimationFactor), 0.0);
    w.back() = 1.0;
  }
  const size_t K = p.sos.size() / 6;
  std::vector<std::vector<double>> z(static_cast<size_t>(p.nChans), std::vector<double>(K ? 2 * K : L, 0.0));
  std::vector<double> acc(static_cast<size_t>(p.nChans), 0.0);
  int phase = 0;
  for (int64_t f = 0; f < frames; ++f) {
    const unsigned char* unit = file.data() + p.dataOffset + f / perRecord * unitBytes;
    for (int c = 0; c < p.nChans; ++c) {
      if (records && p.recordSamples[size_t(c)] != perRecord) continue;  // another rate: no frames here
      double x = decodeSample(unit + (start[size_t(c)] + f % perRecord) * bytes, p.binaryFormat, p.swapBytes);
      if (!p.offset.empty()) x = x * p.scale[size_t(c)] + p.offset[size_t(c)];
      std::vector<double>& s = z[static_cast<size_t>(c)];
      double y;
      if (K) {
        for (size_t k = 0; k < K;
             ++k) {  // each section: y = b0 x + z0; z0 = b1 x - a1 y + z1; z1 = b2 x - a2 y
          const double* q = &p.sos[6 * k];
          y = q[0] * x + s[2 * k];
          s[2 * k] = q[1] * x - q[4] * y + s[2 * k + 1];
          s[2 * k + 1] = q[2] * x - q[5] * y;
          x = y;
        }
      } else {
        y = b[0] * x + s[0];
        for (size_t i = 1; i < L; ++i) s[i - 1] = b[i] * x + s[i] - y * a[i];
      }
      acc[static_cast<size_t>(c)] += y * w[static_cast<size_t>(phase)];
    }
    if (++phase == p.decimationFactor) {
      phase = 0;
      const int64_t out = r.blocks++;
      if (p.srcStart <= out && out <= p.srcEnd) {
        const int64_t row = p.destStart + (out - p.srcStart);
        if (row <= p.destEnd && row >= 0 && row < p.stride) {
          for (size_t k = 0; k < p.channels.size(); ++k) {
            int ch = p.channels[k];
            target[row + static_cast<int64_t>(k) * p.stride] =
                acc[static_cast<size_t>(ch)] * (p.offset.empty() ? p.scale[static_cast<size_t>(ch)] : 1.0);
          }
        }
      }
      for (double& v : acc) v = 0.0;
    }
  }
  r.framesRead = frames;
  return r;
}

// Same bits, where any NaN equals any NaN (its payload depends on which operand carried it).
inline bool sameBits(double x, double y) {
  if (std::isnan(x) && std::isnan(y)) return true;
  return std::memcmp(&x, &y, sizeof x) == 0;
}

}  // namespace ref

#endif
