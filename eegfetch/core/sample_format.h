// One sample's decoding, defined once: the four encodings of a recording, in either byte order,
// converted exactly to double, one sample at a time (Out = double) or as a vector of consecutive
// samples (Out = a vector of doubles).
//
// Included by sample_decoder.cpp, which runs on any processor, and by filter_kernel_impl.h, which is
// compiled once per instruction set. Everything here has internal linkage and uses no standard-library
// inline function, so each source file gets its own copy, built for its own instruction set: code
// built for a wider processor is never shared with code that runs anywhere.
#ifndef EEGFETCH_CORE_SAMPLE_FORMAT_H
#define EEGFETCH_CORE_SAMPLE_FORMAT_H

#include <cstdint>
#include <type_traits>

#include "sample_decoder.h"

namespace eeg {
namespace {

#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool hostBigEndian = true;
#else
constexpr bool hostBigEndian = false;
#endif

// An encoding and byte order known at compile time.
template <int Format, bool Swap>
struct Encoding {
  static constexpr int format = Format;
  static constexpr bool swap = Swap;  // stored most significant byte first
  static constexpr int bytes = sampleBytes(Format);
};

// Calls f(Encoding<format, swap>{}) for a run-time encoding code (an unknown one counts as float32).
template <typename F>
inline void withEncoding(int format, bool swap, F&& f) {
  switch (format * 2 + (swap ? 1 : 0)) {
    case encodingInt16 * 2: return f(Encoding<encodingInt16, false>{});
    case encodingInt16 * 2 + 1: return f(Encoding<encodingInt16, true>{});
    case encodingInt32 * 2: return f(Encoding<encodingInt32, false>{});
    case encodingInt32 * 2 + 1: return f(Encoding<encodingInt32, true>{});
    case encodingFloat32 * 2: return f(Encoding<encodingFloat32, false>{});
    case encodingInt24 * 2: return f(Encoding<encodingInt24, false>{});
    case encodingInt24 * 2 + 1: return f(Encoding<encodingInt24, true>{});
    default: return f(Encoding<encodingFloat32, true>{});
  }
}

// Lanes values of T: T itself, or a vector of them.
template <typename T, int Lanes>
struct Pack {
  typedef T type __attribute__((vector_size(sizeof(T) * Lanes)));
};
template <typename T>
struct Pack<T, 1> {
  typedef T type;
};
template <typename T, int Lanes>
using PackOf = typename Pack<T, Lanes>::type;

// The decoding of the sample at p (Out = double), or of the sizeof(Out) / 8 consecutive samples from p
// (Out = a vector of doubles), for the encodings of 2 and 4 bytes: the bytes are loaded in the
// machine's order, reversed when the file's differs, and converted exactly.
template <typename E, typename Out>
inline Out decodeWhole(const unsigned char* p) {
  constexpr int lanes = sizeof(Out) / sizeof(double);
  using Bits = PackOf<typename std::conditional<E::bytes == 2, uint16_t, uint32_t>::type, lanes>;
  Bits u;
  __builtin_memcpy(&u, p, sizeof u);
  if constexpr (E::swap != hostBigEndian && E::bytes == 2) {
    u = static_cast<Bits>((u >> 8) | (u << 8));
  } else if constexpr (E::swap != hostBigEndian) {
    u = (u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24);
  }
  using Value = PackOf<typename std::conditional<
                           E::format == encodingInt16, int16_t,
                           typename std::conditional<E::format == encodingInt32, int32_t, float>::type>::type,
                       lanes>;
  Value v;
  __builtin_memcpy(&v, &u, sizeof v);
  if constexpr (lanes == 1) {
    return static_cast<double>(v);
  } else if constexpr (E::format == encodingInt16) {
    // Widened to 32 bits first: the compiler converts that width to double in one instruction.
    return __builtin_convertvector(__builtin_convertvector(v, PackOf<int32_t, lanes>), Out);
  } else {
    return __builtin_convertvector(v, Out);
  }
}

// A 24-bit sample: three bytes, sign-extended (0x800000 is -8388608, 0x7FFFFF is 8388607).
template <bool Swap>
inline double decodeInt24(const unsigned char* p) {
  const uint32_t u = Swap ? (uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2])
                          : (uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
  return static_cast<double>(static_cast<int32_t>(u << 8) >> 8);
}

// Any encoding, one sample (Out = double) or consecutive samples (a vector of doubles).
template <typename E, typename Out>
inline Out decodeAt(const unsigned char* p) {
  constexpr int lanes = sizeof(Out) / sizeof(double);
  if constexpr (E::format == encodingInt24) {  // no vector load of three-byte lanes: one at a time
    if constexpr (lanes == 1) {
      return decodeInt24<E::swap>(p);
    } else {
      Out out;
      for (int j = 0; j < lanes; ++j) out[j] = decodeInt24<E::swap>(p + 3 * j);
      return out;
    }
  } else {
    return decodeWhole<E, Out>(p);
  }
}

}  // namespace
}  // namespace eeg

#endif
