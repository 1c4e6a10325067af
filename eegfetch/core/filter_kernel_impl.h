// Body of one version of the filter kernel. Included by one source file per instruction set, each
// compiled with its own target flags, with EEG_KERNEL_BYTES (bytes per vector) and EEG_KERNEL_NS
// (a namespace of its own) defined. Deliberately free of standard-library inline functions, and what
// it shares (sample_format.h) has internal linkage, so nothing compiled for a wider instruction set
// can be shared with code that runs on any processor.
#include <cstdint>
#if defined(__AVX2__) && EEG_KERNEL_BYTES == 32
#include <immintrin.h>
#endif

#include "filter_kernel.h"
#include "sample_format.h"

namespace eeg {
namespace EEG_KERNEL_NS {
namespace {

typedef double Vec __attribute__((vector_size(EEG_KERNEL_BYTES), aligned(8), may_alias));
constexpr int lanes = EEG_KERNEL_BYTES / 8;

inline Vec load(const double* p) { return *reinterpret_cast<const Vec*>(p); }
inline void store(double* p, Vec v) { *reinterpret_cast<Vec*>(p) = v; }

// Where a run takes its input: decoded doubles, frames `width` doubles apart ...
struct Decoded {
  static constexpr bool raw = false;
  static constexpr int bytes = 8;
  static Vec get(const unsigned char* p) { return load(reinterpret_cast<const double*>(p)); }
};

// ... or raw samples of encoding E, frames frameBytes apart, decoded in the loop.
template <typename E>
struct Raw {
  static constexpr bool raw = true;
  static constexpr int bytes = E::bytes;
  static Vec get(const unsigned char* p) {
#if defined(__AVX2__) && EEG_KERNEL_BYTES == 32
    // Four 16-bit samples: the generic form goes through a 64-bit vector, which the compiler
    // assembles from seven shuffles; one widening load and one conversion give the same values.
    if constexpr (lanes == 4 && E::format == encodingInt16) {
      __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
      if constexpr (E::swap != hostBigEndian)
        v = _mm_shuffle_epi8(v, _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15));
      return reinterpret_cast<Vec>(_mm256_cvtepi32_pd(_mm_cvtepi16_epi32(v)));
    }
#endif
    return decodeAt<E, Vec>(p);
  }
};

// Block weights: the job's own, or without them the last frame of a block alone, computed rather than
// stored (a factor may be far larger than any block the file holds). Two types rather than a test in
// the frame loop, which cost 7% more instructions in the loop of a 64-channel recording.
struct GivenWeights {
  const double* w;
  double operator()(int phase) const { return w[phase]; }
};
struct LastFrameAlone {
  int last;
  double operator()(int phase) const { return phase == last ? 1.0 : 0.0; }
};

// Filters and accumulates NV vectors of channels starting at channel `c` of the range, over every frame
// of the job, with the state of a filter of fixed length L held in registers. Per channel:
//   y = b[0] x + z[0];  z[i-1] = b[i] x + z[i] - y a[i] (i = 1 .. L-1, z[L-1] = 0);  acc += y w.
template <int L, int NV, typename In, typename Weights>
void runFixed(const KernelJob& job, int64_t c, Weights weight) {
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
    if constexpr (L == 1) z[0][v] = zero;
    acc[v] = load(job.accumulators + c + v * lanes);
  }
  const unsigned char* px =
      In::raw ? job.raw + c * In::bytes : reinterpret_cast<const unsigned char*>(job.x + c);
  const int64_t step = In::raw ? job.frameBytes : job.width * 8;
  double* sums = job.blockSums + c * job.sumStride;
  int phase = job.phase;
  for (int64_t f = 0; f < job.frames; ++f, px += step) {
    const double w = weight(phase);
    for (int v = 0; v < NV; ++v) {
      const Vec x = In::get(px + v * lanes * In::bytes);
      const Vec y = bc[0] * x + (L > 1 ? z[0][v] : zero);
      for (int i = 1; i < L - 1; ++i) z[i - 1][v] = bc[i] * x + z[i][v] - y * ac[i];
      if constexpr (L > 1) z[L - 2][v] = bc[L - 1] * x + zero - y * ac[L - 1];
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
template <typename Weights>
void runAnyLength(const KernelJob& job, int64_t c, Weights weight) {
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
    acc += y * weight(phase);
    if (++phase == job.factor) {
      phase = 0;
      for (int j = 0; j < lanes; ++j) sums[j * job.sumStride] = acc[j];
      acc = zero;
      ++sums;
    }
  }
  store(job.accumulators + c, acc);
}

template <int L, typename In, typename Weights>
void runChannels(const KernelJob& job, Weights weight) {
  // Independent vectors give the processor independent recurrences to overlap, as far as registers allow.
  constexpr int NV = lanes == 8 && L <= 6 ? 4 : (L <= 12 && lanes == 8) || L <= 6 ? 2 : 1;
  int64_t c = 0;
  for (; c + NV * lanes <= job.width; c += NV * lanes) runFixed<L, NV, In>(job, c, weight);
  if (NV > 2)
    for (; c + 2 * lanes <= job.width; c += 2 * lanes) runFixed<L, (NV > 2 ? 2 : 1), In>(job, c, weight);
  for (; c < job.width; c += lanes) runFixed<L, 1, In>(job, c, weight);
}

template <int L, typename In>
void runSource(const KernelJob& job) {
  if (job.weights)
    runChannels<L, In>(job, GivenWeights{job.weights});
  else
    runChannels<L, In>(job, LastFrameAlone{job.factor - 1});
}

template <int L>
void runLength(const KernelJob& job) {
  if (!job.raw) return runSource<L, Decoded>(job);
  withEncoding(job.binaryFormat, job.swapBytes, [&](auto e) { runSource<L, Raw<decltype(e)>>(job); });
}

// Second-order sections: K sections with their state in registers, NV vectors of channels from `c`.
// Per channel and frame, each section in turn (the order of scipy.signal.sosfilt):
//   y = b0 x + z0;  z0 = (b1 x - a1 y) + z1;  z1 = b2 x - a2 y;  x = y;  then acc += y w.
template <int K, int NV, typename In, typename Weights>
void runSosFixed(const KernelJob& job, int64_t c, Weights weight) {
  const Vec zero = {};
  double q[K][6];
  for (int k = 0; k < K; ++k)
    for (int i = 0; i < 6; ++i) q[k][i] = job.sos[6 * k + i];
  Vec z0[K][NV], z1[K][NV], acc[NV];
  for (int v = 0; v < NV; ++v) {
    for (int k = 0; k < K; ++k) {
      z0[k][v] = load(job.state + (2 * k) * job.stateStride + c + v * lanes);
      z1[k][v] = load(job.state + (2 * k + 1) * job.stateStride + c + v * lanes);
    }
    acc[v] = load(job.accumulators + c + v * lanes);
  }
  const unsigned char* px =
      In::raw ? job.raw + c * In::bytes : reinterpret_cast<const unsigned char*>(job.x + c);
  const int64_t step = In::raw ? job.frameBytes : job.width * 8;
  double* sums = job.blockSums + c * job.sumStride;
  int phase = job.phase;
  for (int64_t f = 0; f < job.frames; ++f, px += step) {
    const double w = weight(phase);
    for (int v = 0; v < NV; ++v) {
      Vec x = In::get(px + v * lanes * In::bytes);
      for (int k = 0; k < K; ++k) {
        const Vec y = q[k][0] * x + z0[k][v];
        z0[k][v] = (q[k][1] * x - q[k][4] * y) + z1[k][v];
        z1[k][v] = q[k][2] * x - q[k][5] * y;
        x = y;
      }
      acc[v] += x * w;
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
    for (int k = 0; k < K; ++k) {
      store(job.state + (2 * k) * job.stateStride + c + v * lanes, z0[k][v]);
      store(job.state + (2 * k + 1) * job.stateStride + c + v * lanes, z1[k][v]);
    }
    store(job.accumulators + c + v * lanes, acc[v]);
  }
}

// Any number of sections: the state stays in memory, one vector of channels at a time.
template <typename Weights>
void runSosAny(const KernelJob& job, int64_t c, Weights weight) {
  const Vec zero = {};
  const int64_t s = job.stateStride;
  Vec acc = load(job.accumulators + c);
  const double* px = job.x + c;
  double* sums = job.blockSums + c * job.sumStride;
  int phase = job.phase;
  for (int64_t f = 0; f < job.frames; ++f, px += job.width) {
    Vec x = load(px);
    for (int k = 0; k < job.sections; ++k) {
      const double* q = job.sos + 6 * k;
      double* z = job.state + 2 * k * s + c;
      const Vec y = q[0] * x + load(z);
      store(z, (q[1] * x - q[4] * y) + load(z + s));
      store(z + s, q[2] * x - q[5] * y);
      x = y;
    }
    acc += x * weight(phase);
    if (++phase == job.factor) {
      phase = 0;
      for (int j = 0; j < lanes; ++j) sums[j * job.sumStride] = acc[j];
      acc = zero;
      ++sums;
    }
  }
  store(job.accumulators + c, acc);
}

template <int K, typename In, typename Weights>
void runSosChannels(const KernelJob& job, Weights weight) {
  // As many independent vectors as the registers hold with the 2K state vectors of each.
  constexpr int NV = lanes == 8 ? (K <= 2 ? 4 : K <= 6 ? 2 : 1) : K <= 3 ? 2 : 1;
  int64_t c = 0;
  for (; c + NV * lanes <= job.width; c += NV * lanes) runSosFixed<K, NV, In>(job, c, weight);
  if (NV > 2)
    for (; c + 2 * lanes <= job.width; c += 2 * lanes) runSosFixed<K, (NV > 2 ? 2 : 1), In>(job, c, weight);
  for (; c < job.width; c += lanes) runSosFixed<K, 1, In>(job, c, weight);
}

template <int K, typename In>
void runSosSource(const KernelJob& job) {
  if (job.weights)
    runSosChannels<K, In>(job, GivenWeights{job.weights});
  else
    runSosChannels<K, In>(job, LastFrameAlone{job.factor - 1});
}

template <int K>
void runSections(const KernelJob& job) {
  if (!job.raw) return runSosSource<K, Decoded>(job);
  withEncoding(job.binaryFormat, job.swapBytes, [&](auto e) { runSosSource<K, Raw<decltype(e)>>(job); });
}

void runSos(const KernelJob& job) {
  switch (job.sections) {
    case 1: runSections<1>(job); return;
    case 2: runSections<2>(job); return;
    case 3: runSections<3>(job); return;
    case 4: runSections<4>(job); return;
    case 5: runSections<5>(job); return;
    case 6: runSections<6>(job); return;
    default:
      for (int64_t c = 0; c < job.width; c += lanes)
        if (job.weights)
          runSosAny(job, c, GivenWeights{job.weights});
        else
          runSosAny(job, c, LastFrameAlone{job.factor - 1});
      return;
  }
}

// Channels [c0, c1) of `frames` frames, decoded into rows of outStride doubles; a loop the compiler
// vectorizes for this instruction set.
void decode(int binaryFormat, bool swapBytes, const unsigned char* raw, uint64_t frameBytes, int64_t frames,
            int c0, int c1, double* out, int64_t outStride) {
  withEncoding(binaryFormat, swapBytes, [&](auto e) {
    using E = decltype(e);
    const int n = c1 - c0;
    for (int64_t f = 0; f < frames; ++f) {
      const unsigned char* p = raw + uint64_t(f) * frameBytes + uint64_t(c0) * E::bytes;
      double* o = out + f * outStride;
      for (int j = 0; j < n; ++j) o[j] = decodeAt<E, double>(p + j * E::bytes);
    }
  });
}

void run(const KernelJob& job) {
  if (job.sections > 0) return runSos(job);
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
      for (int64_t c = 0; c < job.width; c += lanes)
        if (job.weights)
          runAnyLength(job, c, GivenWeights{job.weights});
        else
          runAnyLength(job, c, LastFrameAlone{job.factor - 1});
      return;
  }
}

}  // namespace
}  // namespace EEG_KERNEL_NS
}  // namespace eeg
