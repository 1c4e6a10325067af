// Helpers shared by the fuzz targets that call a module through the embedded host: random arrays
// of every class and shape, and the resource counts checked after each call.
#ifndef EEGMEX_FUZZ_HOSTFUZZ_H
#define EEGMEX_FUZZ_HOSTFUZZ_H

#include <dirent.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "mexhost.h"

namespace hostfuzz {

// Numbers a hostile caller would try: signs, fractions, the int32 edges, huge, NaN and the infinities.
inline double pickNumber(FuzzedDataProvider& in) {
  static const double palette[] = {0.0,
                                   1.0,
                                   -1.0,
                                   2.0,
                                   3.0,
                                   4.0,
                                   0.5,
                                   -0.5,
                                   3.7,
                                   255.0,
                                   256.0,
                                   888.9,
                                   2147483647.0,
                                   2147483648.0,
                                   -2147483648.0,
                                   -2147483649.0,
                                   4294967296.0,
                                   1e10,
                                   1e300,
                                   -1e300,
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::denorm_min(),
                                   -0.0};
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return in.PickValueInArray(palette);
    case 1: return static_cast<double>(in.ConsumeIntegralInRange<int>(-3, 12));
    case 2: return in.ConsumeFloatingPoint<double>();
    default: return static_cast<double>(in.ConsumeIntegral<int32_t>());
  }
}

inline std::vector<double> pickNumbers(FuzzedDataProvider& in, size_t count) {
  std::vector<double> v;
  for (size_t i = 0; i < count; ++i) v.push_back(pickNumber(in));
  return v;
}

// An array of any class and a small shape (nested structs and cells one level deep).
inline mexhost::Array randomArray(FuzzedDataProvider& in, int depth = 0) {
  static const mxClassID numericClasses[] = {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS,   mxUINT8_CLASS,
                                             mxINT16_CLASS,  mxUINT16_CLASS, mxINT32_CLASS,  mxUINT32_CLASS,
                                             mxINT64_CLASS,  mxUINT64_CLASS, mxLOGICAL_CLASS};
  size_t m = in.ConsumeIntegralInRange<size_t>(0, 3);
  size_t n = in.ConsumeIntegralInRange<size_t>(0, 5);
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return mexhost::numeric(in.PickValueInArray(numericClasses), m, n, pickNumbers(in, m * n));
    case 1: return mexhost::charMatrix(m, n, in.ConsumeBytesAsString(m * n));
    case 2: return mexhost::complexMatrix(m, n, pickNumbers(in, m * n), pickNumbers(in, m * n));
    case 3:
      if (depth < 1) {
        mexhost::Array s = mexhost::structArray(m > 1 ? 1 : m, n > 2 ? 1 : n);
        int fields = in.ConsumeIntegralInRange<int>(0, 2);
        for (int f = 0; f < fields; ++f)
          mexhost::setField(s.get(), f ? "fs" : "x", randomArray(in, depth + 1));
        return s;
      }
      return mexhost::structArray(1, 1);
    case 4: return mexhost::cellArray(m, n);
    default: return mexhost::doubleMatrix(m, n, pickNumbers(in, m * n));
  }
}

inline size_t openDescriptors() {
  size_t count = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++count;
    closedir(d);
  }
  return count;
}

[[noreturn]] inline void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace hostfuzz

#endif
