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

typedef uint16_t VecU16 __attribute__((vector_size(EEG_KERNEL_BYTES / 4), aligned(1), may_alias));
typedef int16_t VecI16 __attribute__((vector_size(EEG_KERNEL_BYTES / 4), aligned(1), may_alias));
typedef uint32_t VecU32 __attribute__((vector_size(EEG_KERNEL_BYTES / 2), aligned(1), may_alias));
typedef int32_t VecI32 __attribute__((vector_size(EEG_KERNEL_BYTES / 2), aligned(1), may_alias));
typedef float VecF32 __attribute__((vector_size(EEG_KERNEL_BYTES / 2), aligned(1), may_alias));

#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool hostBigEndian = true;
#else
constexpr bool hostBigEndian = false;
#endif

// Where a run takes its input: Source 0 reads decoded doubles; 2 * format + swap reads raw samples of
// that encoding and byte order and converts them exactly, as decodeFrames does.
template <int Source>
struct Input {
  static constexpr int format = Source / 2;
  static constexpr bool reverse = (Source % 2 == 1) != hostBigEndian;
  static constexpr int bytes = Source == 0 ? 8 : format == 1 ? 2 : 4;
  static Vec get(const unsigned char* p) {
    if (Source == 0) return load(reinterpret_cast<const double*>(p));
    if (format == 1) {
      VecU16 u;
      __builtin_memcpy(&u, p, sizeof u);
      if (reverse) u = (u >> 8) | (u << 8);
      // Widened to 32 bits first: the compiler converts that width to double in one instruction.
      return __builtin_convertvector(__builtin_convertvector(reinterpret_cast<const VecI16&>(u), VecI32),
                                     Vec);
    }
    VecU32 u;
    __builtin_memcpy(&u, p, sizeof u);
    if (reverse) u = (u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24);
    if (format == 3) return __builtin_convertvector(reinterpret_cast<const VecF32&>(u), Vec);
    return __builtin_convertvector(reinterpret_cast<const VecI32&>(u), Vec);
  }
};

// The weight of block position `phase`; without weights, the last frame of a block alone (never
// stored: a factor may be far larger than any block the file holds).
inline double blockWeight(const KernelJob& job, int phase) {
  return job.weights ? job.weights[phase] : phase == job.factor - 1 ? 1.0 : 0.0;
}

// Filters and accumulates NV vectors of channels starting at channel `c` of the range, over every frame
// of the job, with the state of a filter of fixed length L held in registers. Per channel:
//   y = b[0] x + z[0];  z[i-1] = b[i] x + z[i] - y a[i] (i = 1 .. L-1, z[L-1] = 0);  acc += y w.
template <int L, int NV, int Source>
void runFixed(const KernelJob& job, int64_t c) {
  using In = Input<Source>;
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
  const unsigned char* px =
      Source == 0 ? reinterpret_cast<const unsigned char*>(job.x + c) : job.raw + c * In::bytes;
  const int64_t step = Source == 0 ? job.width * 8 : job.frameBytes;
  double* sums = job.blockSums + c * job.sumStride;
  int phase = job.phase;
  for (int64_t f = 0; f < job.frames; ++f, px += step) {
    const double w = blockWeight(job, phase);
    for (int v = 0; v < NV; ++v) {
      const Vec x = In::get(px + v * lanes * In::bytes);
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
    acc += y * blockWeight(job, phase);
    if (++phase == job.factor) {
      phase = 0;
      for (int j = 0; j < lanes; ++j) sums[j * job.sumStride] = acc[j];
      acc = zero;
      ++sums;
    }
  }
  store(job.accumulators + c, acc);
}

template <int L, int Source>
void runSource(const KernelJob& job) {
  // Independent vectors give the processor independent recurrences to overlap, as far as registers allow.
  constexpr int NV = lanes == 8 && L <= 6 ? 4 : (L <= 12 && lanes == 8) || L <= 6 ? 2 : 1;
  int64_t c = 0;
  for (; c + NV * lanes <= job.width; c += NV * lanes) runFixed<L, NV, Source>(job, c);
  if (NV > 2)
    for (; c + 2 * lanes <= job.width; c += 2 * lanes) runFixed<L, (NV > 2 ? 2 : 1), Source>(job, c);
  for (; c < job.width; c += lanes) runFixed<L, 1, Source>(job, c);
}

template <int L>
void runLength(const KernelJob& job) {
  if (!job.raw) return runSource<L, 0>(job);
  switch (job.binaryFormat * 2 + (job.swapBytes ? 1 : 0)) {
    case 2: return runSource<L, 2>(job);
    case 3: return runSource<L, 3>(job);
    case 4: return runSource<L, 4>(job);
    case 5: return runSource<L, 5>(job);
    case 6: return runSource<L, 6>(job);
    default: return runSource<L, 7>(job);
  }
}

// Decoding, the same conversions as sample_decoder.cpp, here so that the compiler vectorizes them for
// this instruction set.

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
