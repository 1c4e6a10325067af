#include "decimator.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace eeg {

bool filtersSubset(int distinct, int nChans) noexcept { return int64_t(distinct) * 4 <= int64_t(nChans) * 3; }

KernelSet kernelsFor(InstructionSet isa) noexcept {
  if (isa == InstructionSet::widest) isa = widestInstructionSet();
  KernelSet kernel = kernelFor(isa);
  while (!kernel.filter && isa > InstructionSet::sse2) {  // lacking here: the next narrower one
    isa = static_cast<InstructionSet>(static_cast<int>(isa) - 1);
    kernel = kernelFor(isa);
  }
  return kernel;
}

bool Decimator::setup(const DecimatorSetup& s) noexcept {
  release();
  if (s.nChans < 1 || s.filterLength < 1 || s.factor < 1 || s.nSel < 0) return false;
  if ((s.a == nullptr) != (s.b == nullptr) || (!s.a && s.filterLength != 1)) return false;
  if (s.sections < 0 || (s.sections > 0 && (!s.sos || s.a))) return false;
  if (s.nSel > 0 && !s.channels) return false;
  for (int k = 0; k < s.nSel; ++k)
    if (s.channels[k] < 0 || s.channels[k] >= s.nChans) return false;

  // The filter channels: the distinct selected ones, rising, when filtersSubset says so; else all.
  const uint64_t nSel = uint64_t(s.nSel > 0 ? s.nSel : 1);
  const uint64_t nChans = uint64_t(s.nChans);
  const uint64_t weightDoubles = s.weights ? uint64_t(s.factor) : 0;
  const uint64_t stride = (nChans + 7) / 8 * 8;
  const uint64_t doubles = weightDoubles + 3 * stride + 8;  // weights, sums, scratch, alignment
  const uint64_t bytes = doubles * sizeof(double) + 2 * nSel * sizeof(int32_t);
  if (nChans > SIZE_MAX / 64 || bytes > SIZE_MAX / 2) return false;
  storage_ = std::calloc(static_cast<std::size_t>(bytes), 1);
  if (!storage_) return false;
  double* base = reinterpret_cast<double*>((reinterpret_cast<uintptr_t>(storage_) + 63) & ~uintptr_t(63));
  accumulators_ = base;
  scratch_ = base + stride;
  weights_ = s.weights ? base + 3 * stride : nullptr;
  int32_t* selected = reinterpret_cast<int32_t*>(base + 3 * stride + weightDoubles);
  filterChannelOf_ = selected + nSel;
  if (weights_) std::memcpy(weights_, s.weights, sizeof(double) * weightDoubles);

  std::copy(s.channels, s.channels + s.nSel, selected);
  std::sort(selected, selected + s.nSel);
  const int distinct = static_cast<int>(std::unique(selected, selected + s.nSel) - selected);
  const bool subset = s.selectedOnly || filtersSubset(distinct, s.nChans);
  for (int k = 0; k < s.nSel; ++k)
    filterChannelOf_[k] =
        subset
            ? static_cast<int32_t>(std::lower_bound(selected, selected + distinct, s.channels[k]) - selected)
            : s.channels[k];
  fileChannel_ = subset ? selected : nullptr;
  nFiltered_ = subset ? distinct : s.nChans;
  nSel_ = s.nSel;
  nChans_ = s.nChans;
  factor_ = s.factor;
  frames_ = 0;
  const int width = nFiltered_ > 0 ? nFiltered_ : 1;
  if (s.sections > 0 ? !setupSosFilter(filter_, s.sections, s.sos, width)
                     : !setupChannelFilter(filter_, s.filterLength, s.a, s.b, width)) {
    release();
    return false;
  }
  return true;
}

void Decimator::release() noexcept {
  releaseChannelFilter(filter_);
  std::free(storage_);
  storage_ = nullptr;
  weights_ = accumulators_ = scratch_ = nullptr;
  fileChannel_ = filterChannelOf_ = nullptr;
  nSel_ = nFiltered_ = nChans_ = 0;
  factor_ = 1;
  frames_ = 0;
}

void Decimator::reset() noexcept {
  if (!ready()) return;
  std::fill(filter_.state, filter_.state + int64_t(filter_.L) * filter_.stateStride, 0.0);
  std::fill(accumulators_, accumulators_ + filter_.stateStride, 0.0);
  frames_ = 0;
}

int64_t Decimator::pushRange(const KernelSet& kernel, const FrameSource& source, int begin, int end,
                             int phase, int64_t frames, double* blockSums, int64_t sumStride) noexcept {
  KernelJob job;
  job.x = source.decoded;
  if (source.raw) {
    job.raw = source.raw;
    job.frameBytes = source.frameBytes;
    job.binaryFormat = source.binaryFormat;
    job.swapBytes = source.swapBytes;
  }
  job.frames = frames;
  job.width = end - begin;
  job.L = filter_.L;
  job.b = filter_.b;
  job.a = filter_.a;
  job.sections = filter_.sections;
  job.sos = filter_.sos;
  job.state = filter_.state + begin;
  job.stateStride = filter_.stateStride;
  job.weights = weights_;  // null: the default, which the kernel computes
  job.factor = factor_;
  job.phase = phase;
  job.accumulators = accumulators_ + begin;
  job.blockSums = blockSums;
  job.sumStride = sumStride;
  kernel.filter(job);
  return (int64_t(phase) + frames) / factor_;
}

int64_t Decimator::push(const double* frames, int64_t n, double* out, int64_t outStride) noexcept {
  static const KernelSet kernel = kernelsFor(InstructionSet::widest);
  const int64_t w = width();
  double* row = scratch_;
  double* sums = scratch_ + w;
  FrameSource source;
  source.decoded = row;
  int64_t blocks = 0;
  for (int64_t f = 0; f < n; ++f) {
    const double* x = frames + f * int64_t(nChans_);
    for (int c = 0; c < nFiltered_; ++c) row[c] = x[fileChannel_ ? fileChannel_[c] : c];
    if (pushRange(kernel, source, 0, static_cast<int>(w), phase(), 1, sums, 1) == 1) {
      for (int k = 0; k < nSel_; ++k) out[blocks + k * outStride] = sums[filterChannelOf_[k]];
      ++blocks;
    }
    advance(1);
  }
  return blocks;
}

void Decimator::takeState(double* out) const noexcept {
  const int64_t stride = filter_.stateStride;
  for (int i = 0; i < filter_.L - 1; ++i)
    std::copy(filter_.state + i * stride, filter_.state + i * stride + nFiltered_,
              out + int64_t(i) * nFiltered_);
  std::copy(accumulators_, accumulators_ + nFiltered_, out + int64_t(filter_.L - 1) * nFiltered_);
}

void Decimator::restoreState(const double* state, int64_t frames) noexcept {
  reset();
  const int64_t stride = filter_.stateStride;
  for (int i = 0; i < filter_.L - 1; ++i)
    std::copy(state + int64_t(i) * nFiltered_, state + int64_t(i + 1) * nFiltered_,
              filter_.state + i * stride);
  std::copy(state + int64_t(filter_.L - 1) * nFiltered_, state + int64_t(filter_.L) * nFiltered_,
            accumulators_);
  frames_ = frames;
}

}  // namespace eeg
