// The filter-and-accumulate loop over many frames and a range of channels at once, in one version per
// instruction set. Every version does, for every channel and frame, exactly the operations of the
// frame-at-a-time definition in the same order (no fused multiply-add), so all give the same bits:
//   y = b[0] x + z[0];  z[i-1] = b[i] x + z[i] - y a[i] (i = 1 .. L-1, in rising order);  acc += y w.
// With second-order sections, each section k in turn, as scipy.signal.sosfilt orders them:
//   y = b0 x + z0;  z0 = (b1 x - a1 y) + z1;  z1 = b2 x - a2 y;  x = y  ...  acc += y w.
#ifndef EEGFETCH_CORE_FILTER_KERNEL_H
#define EEGFETCH_CORE_FILTER_KERNEL_H

#include <cstdint>

namespace eeg {

// One run of the loop over `frames` decoded frames of `width` channels (a multiple of 8).
struct KernelJob {
  const double* x = nullptr;  // frames x width doubles, row-major; or, when raw is set:
  // the samples of the range's first channel in the first frame, with frames frameBytes apart, in the
  // given encoding (every channel of the range is in the file; filter length at most 12)
  const unsigned char* raw = nullptr;
  int64_t frameBytes = 0;
  int binaryFormat = 1;
  bool swapBytes = false;
  int64_t frames = 0;
  int64_t width = 0;
  int L = 1;
  const double* b = nullptr;
  const double* a = nullptr;  // a[0] is never read
  // Second-order sections instead of b and a (sections > 0): rows of [b0 b1 b2 a0 a1 a2], a0 never
  // read; z0 of section k in state row 2k, z1 in row 2k + 1.
  int sections = 0;
  const double* sos = nullptr;
  double* state = nullptr;  // z[i] of the range's first channel at state[i * stateStride]
  int64_t stateStride = 0;
  const double* weights = nullptr;  // factor weights; null: factor - 1 zeros then 1
  int factor = 1;
  int phase = 0;                   // position of the first frame within its block
  double* accumulators = nullptr;  // of the range's first channel
  // The sum of channel j of the range for the e-th block that ends in the run goes to
  // blockSums[j * sumStride + e]: each channel's sums lie together, ready to be copied to its column.
  double* blockSums = nullptr;
  int64_t sumStride = 0;
};

using KernelFunction = void (*)(const KernelJob&);
// Decodes channels [c0, c1) of `frames` consecutive frames of frameBytes bytes each: the sample of
// channel c in frame f goes to out[f * outStride + (c - c0)].
using DecodeFunction = void (*)(int binaryFormat, bool swapBytes, const unsigned char* raw,
                                uint64_t frameBytes, int64_t frames, int c0, int c1, double* out,
                                int64_t outStride);

// One instruction set's versions of the loops.
struct KernelSet {
  KernelFunction filter = nullptr;
  DecodeFunction decode = nullptr;
};

// Instruction sets of the loop, in rising order; `widest` is the widest this build and processor run.
enum class InstructionSet : int { widest, sse2, avx2, avx512 };

// Longest filter whose loop decodes raw samples itself, as b/a length and as sections.
constexpr int kernelRawMaxLength = 12;
constexpr int kernelRawMaxSections = 6;

// The versions for `isa`, or nulls when this build or this processor lacks it. The SSE2 version is
// always there (plain code where the processor lacks SSE2).
KernelSet kernelFor(InstructionSet isa) noexcept;
// The widest version this build and processor run.
InstructionSet widestInstructionSet() noexcept;

// Per-version entry points (null where the build lacks the version).
KernelSet kernelSse2() noexcept;
KernelSet kernelAvx2() noexcept;
KernelSet kernelAvx512() noexcept;

}  // namespace eeg

#endif
