// One element of a numeric array's storage, read by its class and converted to double: exact for
// every class except 64-bit integers without a double of their own (2^53 + 1, for one), which
// round to the nearest double; mxElementIsExact tells them apart. Reading
// non-double storage as doubles would be wrong and can read past the array, so every module and
// the embedded host read elements through this.
#ifndef EEGMEX_HOST_MXELEMENT_H
#define EEGMEX_HOST_MXELEMENT_H

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "mexapi.h"

// The numeric classes: those mxIsNumeric accepts, and those mxElementAsDouble reads.
inline bool mxClassIsNumeric(mxClassID cls) {
  switch (cls) {
    case mxDOUBLE_CLASS:
    case mxSINGLE_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS: return true;
    default: return false;
  }
}

//  cls    : the array's class
//  data   : its real storage (mxGetData)
//  i      : element index, column-major
// Returns NaN for a class that is not numeric.
inline double mxElementAsDouble(mxClassID cls, const void* data, size_t i) {
  switch (cls) {
    case mxDOUBLE_CLASS: return static_cast<const double*>(data)[i];
    case mxSINGLE_CLASS: return static_cast<const float*>(data)[i];
    case mxINT8_CLASS: return static_cast<const int8_t*>(data)[i];
    case mxUINT8_CLASS: return static_cast<const uint8_t*>(data)[i];
    case mxINT16_CLASS: return static_cast<const int16_t*>(data)[i];
    case mxUINT16_CLASS: return static_cast<const uint16_t*>(data)[i];
    case mxINT32_CLASS: return static_cast<const int32_t*>(data)[i];
    case mxUINT32_CLASS: return static_cast<const uint32_t*>(data)[i];
    case mxINT64_CLASS: return static_cast<double>(static_cast<const int64_t*>(data)[i]);
    case mxUINT64_CLASS: return static_cast<double>(static_cast<const uint64_t*>(data)[i]);
    default: return std::nan("");
  }
}

// True when element i converts to double without rounding: always, except for a 64-bit integer
// whose nearest double is another number.
inline bool mxElementIsExact(mxClassID cls, const void* data, size_t i) {
  if (cls == mxINT64_CLASS) {
    const int64_t v = static_cast<const int64_t*>(data)[i];
    const double d = static_cast<double>(v);
    return d < 9223372036854775808.0 && static_cast<int64_t>(d) == v;  // 2^63 itself does not fit
  }
  if (cls == mxUINT64_CLASS) {
    const uint64_t v = static_cast<const uint64_t*>(data)[i];
    const double d = static_cast<double>(v);
    return d < 18446744073709551616.0 && static_cast<uint64_t>(d) == v;  // nor does 2^64
  }
  return true;
}

#endif
