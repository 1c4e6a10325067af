// Body of one version of the filter kernel. Included by one source file per instruction set, each
// compiled with its own target flags, with EEG_KERNEL_BYTES (bytes per vector) and EEG_KERNEL_NS
// (a namespace of its own) defined. Deliberately free of standard-library inline functions, so
// nothing compiled for a wider instruction set can be shared with code that runs on any processor.
#include <cstdint>

#include "filter_kernel.h"

namespace eeg {
namespace EEG_KERNEL_NS {
namespace {

typedef double Vec __attribute__((vector_size(EEG_KERNEL_BYTES), aligned(8), may_alias));
constexpr int lanes = EEG_KERNEL_BYTES / 8;

inline Vec load(const double* p) { return *reinterpret_cast<const Vec*>(p); }
inline void store(double* p, Vec v) { *reinterpret_cast<Vec*>(p) = v; }

// Filters and accumulates NV vectors of channels starting at channel `c` of the range, over every frame
// of the job, with the state of a filter of fixed length L held in registers. Per channel:
//   y = b[0] x + z[0];  z[i-1] = b[i] x + z[i] - y a[i] (i = 1 .. L-1, z[L-1] = 0);  acc += y w.
template <int L, int NV>
void runFixed(const KernelJob& job, int64_t c) {
  constexpr int S = L > 1 ? L - 1 : 1;
  const Vec zero = {};
  double bc[L], ac[L];
  for (int i = 0; i < L; ++i) {
    bc[i] = job.b[i];
    ac[i] = i ? job.a[i] : 0.0;
  }
  Vec z[S][NV], acc[NV];
  for (int v = 0; v < NV; ++v) {
    for (int i = 0; i < L - 1; ++i) z[i][v] = load(job.state + i * job.stateStride + c + v * lanes);
    if (L == 1) z[0][v] = zero;
    acc[v] = load(job.accumulators + c + v * lanes);
  }
  const double* px = job.x + c;
  double* sums = job.blockSums + c * job.sumStride;
  int phase = job.phase;
  for (int64_t f = 0; f < job.frames; ++f, px += job.width) {
    const double w = job.weights[phase];
    for (int v = 0; v < NV; ++v) {
      const Vec x = load(px + v * lanes);
      const Vec y = bc[0] * x + (L > 1 ? z[0][v] : zero);
      for (int i = 1; i < L - 1; ++i) z[i - 1][v] = bc[i] * x + z[i][v] - y * ac[i];
      if (L > 1) z[L - 2][v] = bc[L - 1] * x + zero - y * ac[L - 1];
      acc[v] += y * w;
    }
    if (++phase == job.factor) {
      phase = 0;
      for (int v = 0; v < NV; ++v) {
        for (int j = 0; j < lanes; ++j) sums[(v * lanes + j) * job.sumStride] = acc[v][j];
        acc[v] = zero;
      }
      ++sums;
    }
  }
  for (int v = 0; v < NV; ++v) {
    for (int i = 0; i < L - 1; ++i) store(job.state + i * job.stateStride + c + v * lanes, z[i][v]);
    store(job.accumulators + c + v * lanes, acc[v]);
  }
}

// Any length: the state stays in memory, one vector of channels at a time.
void runAnyLength(const KernelJob& job, int64_t c) {
  const Vec zero = {};
  const int L = job.L;
  const int64_t s = job.stateStride;
  double* z = job.state + c;
  Vec acc = load(job.accumulators + c);
  const double* px = job.x + c;
  double* sums = job.blockSums + c * job.sumStride;
  int phase = job.phase;
  for (int64_t f = 0; f < job.frames; ++f, px += job.width) {
    const Vec x = load(px);
    const Vec y = job.b[0] * x + load(z);
    for (int i = 1; i < L - 1; ++i) store(z + (i - 1) * s, job.b[i] * x + load(z + i * s) - y * job.a[i]);
    store(z + (L - 2) * s, job.b[L - 1] * x + zero - y * job.a[L - 1]);
    acc += y * job.weights[phase];
    if (++phase == job.factor) {
      phase = 0;
      for (int j = 0; j < lanes; ++j) sums[j * job.sumStride] = acc[j];
      acc = zero;
      ++sums;
    }
  }
  store(job.accumulators + c, acc);
}

template <int L>
void runLength(const KernelJob& job) {
  // Two vectors at a time give the processor two independent recurrences to overlap.
  constexpr int NV = lanes == 8 && L <= 6 ? 4 : (L <= 6 || lanes < 8) ? 2 : 1;
  int64_t c = 0;
  for (; c + NV * lanes <= job.width; c += NV * lanes) runFixed<L, NV>(job, c);
  for (; c < job.width; c += lanes) runFixed<L, 1>(job, c);
}

// Decoding, the same conversions as sample_decoder.cpp, here so that the compiler vectorizes them for
// this instruction set.
#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool hostBigEndian = true;
#else
constexpr bool hostBigEndian = false;
#endif

template <int Format, bool Swap>
void decodeRange(const unsigned char* raw, uint64_t frameBytes, int64_t frames, int c0, int c1, double* out,
                 int64_t outStride) {
  constexpr int bytes = Format == 1 ? 2 : 4;
  constexpr bool reverse = Swap != hostBigEndian;
  const int n = c1 - c0;
  for (int64_t f = 0; f < frames; ++f) {
    const unsigned char* p = raw + uint64_t(f) * frameBytes + uint64_t(c0) * bytes;
    double* o = out + f * outStride;
    if (Format == 1) {
      for (int j = 0; j < n; ++j) {
        uint16_t u;
        __builtin_memcpy(&u, p + 2 * j, 2);
        if (reverse) u = static_cast<uint16_t>((u >> 8) | (u << 8));
        o[j] = static_cast<int16_t>(u);
      }
    } else {
      for (int j = 0; j < n; ++j) {
        uint32_t u;
        __builtin_memcpy(&u, p + 4 * j, 4);
        if (reverse) u = (u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24);
        if (Format == 3) {
          float v;
          __builtin_memcpy(&v, &u, 4);
          o[j] = static_cast<double>(v);
        } else {
          o[j] = static_cast<int32_t>(u);
        }
      }
    }
  }
}

void decode(int binaryFormat, bool swapBytes, const unsigned char* raw, uint64_t frameBytes, int64_t frames,
            int c0, int c1, double* out, int64_t outStride) {
  switch (binaryFormat * 2 + (swapBytes ? 1 : 0)) {
    case 2: decodeRange<1, false>(raw, frameBytes, frames, c0, c1, out, outStride); break;
    case 3: decodeRange<1, true>(raw, frameBytes, frames, c0, c1, out, outStride); break;
    case 4: decodeRange<2, false>(raw, frameBytes, frames, c0, c1, out, outStride); break;
    case 5: decodeRange<2, true>(raw, frameBytes, frames, c0, c1, out, outStride); break;
    case 6: decodeRange<3, false>(raw, frameBytes, frames, c0, c1, out, outStride); break;
    default: decodeRange<3, true>(raw, frameBytes, frames, c0, c1, out, outStride); break;
  }
}

void run(const KernelJob& job) {
  switch (job.L) {
    case 1: runLength<1>(job); return;
    case 2: runLength<2>(job); return;
    case 3: runLength<3>(job); return;
    case 4: runLength<4>(job); return;
    case 5: runLength<5>(job); return;
    case 6: runLength<6>(job); return;
    case 7: runLength<7>(job); return;
    case 8: runLength<8>(job); return;
    case 9: runLength<9>(job); return;
    case 10: runLength<10>(job); return;
    case 11: runLength<11>(job); return;
    case 12: runLength<12>(job); return;
    default:
      for (int64_t c = 0; c < job.width; c += lanes) runAnyLength(job, c);
      return;
  }
}

}  // namespace
}  // namespace EEG_KERNEL_NS
}  // namespace eeg
