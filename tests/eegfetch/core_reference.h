// Test support for the reader core: recordings written to temporary files, and the plain reference
// read of reference_read.h driven by the same case description as the reader.
#ifndef TESTS_EEGFETCH_CORE_REFERENCE_H
#define TESTS_EEGFETCH_CORE_REFERENCE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reader.h"
#include "reference_read.h"
#include "temp_file.h"

namespace coretest {

// A recording and a read, as the reference takes them; planFor gives the reader the same.
using Case = ref::Plan;

inline int bytesPerSample(int format) { return format == 1 ? 2 : format == 4 ? 3 : 4; }

// Random sample values that are exact in the format (float32 values are floats).
inline std::vector<double> randomSamples(std::mt19937_64& rng, int format, std::size_t count) {
  std::vector<double> v(count);
  std::uniform_int_distribution<int32_t> i16(-32768, 32767);
  std::uniform_int_distribution<int32_t> i32(INT32_MIN, INT32_MAX);
  std::uniform_int_distribution<int32_t> i24(-8388608, 8388607);
  std::normal_distribution<float> f32(0.0f, 1000.0f);
  for (auto& x : v)
    x = format == 1   ? i16(rng)
        : format == 2 ? double(i32(rng))
        : format == 4 ? double(i24(rng))
                      : double(f32(rng));
  return v;
}

using ref::encode;

using eegtest::TempFile;

// The whole read, one frame at a time, by the plain reference, into a copy of `target`.
inline std::vector<double> referenceRead(const Case& c, const std::vector<unsigned char>& file,
                                         std::vector<double> target) {
  ref::read(file, c, target.data());
  return target;
}

inline eeg::ReadPlan planFor(const Case& c, std::vector<double>& target) {
  eeg::ReadPlan p;
  p.nChans = c.nChans;
  p.binaryFormat = c.binaryFormat;
  p.swapBytes = c.swapBytes;
  p.dataOffset = c.dataOffset;
  p.recordSamples = c.recordSamples.empty() ? nullptr : c.recordSamples.data();
  p.offset = c.offset.empty() ? nullptr : c.offset.data();
  p.nPoints = c.nPoints;
  p.filterLength = c.b.empty() ? 1 : static_cast<int>(c.b.size());
  p.b = c.b.empty() ? nullptr : c.b.data();
  p.a = c.a.empty() ? nullptr : c.a.data();
  p.sos = c.sos.empty() ? nullptr : c.sos.data();
  p.sections = static_cast<int>(c.sos.size() / 6);
  p.decimationFactor = c.decimationFactor;
  p.weights = c.weights.empty() ? nullptr : c.weights.data();
  p.channels = c.channels.data();
  p.nSel = static_cast<int>(c.channels.size());
  p.scale = c.scale.data();
  p.target = target.data();
  p.stride = c.stride;
  p.columnStep = p.stride;  // column-major
  p.destStart = c.destStart;
  p.destEnd = c.destEnd;
  p.srcStart = c.srcStart;
  p.srcEnd = c.srcEnd;
  return p;
}

// Runs the reader on `file` with the given plan adjustments.
inline eeg::ReadOutcome readWith(const std::string& path, eeg::ReadPlan plan) {
  FILE* f = std::fopen(path.c_str(), "rb");
  EXPECT_NE(f, nullptr);
  if (!f) return {};
  const eeg::ReadOutcome out = eeg::readRecording(f, plan);
  std::fclose(f);
  return out;
}

using ref::sameBits;

inline ::testing::AssertionResult sameMatrix(const std::vector<double>& expected,
                                             const std::vector<double>& got) {
  if (expected.size() != got.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (std::size_t i = 0; i < expected.size(); ++i)
    if (!sameBits(expected[i], got[i]))
      return ::testing::AssertionFailure()
             << "element " << i << ": expected " << expected[i] << ", got " << got[i];
  return ::testing::AssertionSuccess();
}

// Random stable filters: a product of real and complex-pair poles inside the unit circle.
inline void randomStableFilter(std::mt19937_64& rng, int L, std::vector<double>& b, std::vector<double>& a) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  a.assign(1, 1.0);
  int order = L - 1;
  while (order > 0) {
    std::vector<double> factor;
    if (order >= 2 && u(rng) > 0) {
      const double r = 0.3 + 0.65 * std::abs(u(rng)), theta = 3.14159 * std::abs(u(rng));
      factor = {1.0, -2 * r * std::cos(theta), r * r};
      order -= 2;
    } else {
      factor = {1.0, -0.95 * u(rng)};
      order -= 1;
    }
    std::vector<double> next(a.size() + factor.size() - 1, 0.0);
    for (std::size_t i = 0; i < a.size(); ++i)
      for (std::size_t j = 0; j < factor.size(); ++j) next[i + j] += a[i] * factor[j];
    a = next;
  }
  b.resize(L);
  for (auto& x : b) x = u(rng);
  a[0] = 1.0 + 0.5 * u(rng);  // never read: any value must give the same result
}

}  // namespace coretest

#endif
