#include "block_decimator.h"

#include <cstddef>
#include <cstdlib>

namespace eeg {

bool setupBlockDecimator(BlockDecimator& decimator, int factor, int nChans, const double* weights) noexcept {
  decimator = BlockDecimator{};
  if (factor < 1 || nChans < 1) return false;
  if (uint64_t(nChans) > SIZE_MAX / sizeof(double)) return false;
  double* storage = static_cast<double*>(std::calloc(static_cast<std::size_t>(nChans), sizeof(double)));
  if (!storage) return false;
  decimator.factor = factor;
  decimator.nChans = nChans;
  decimator.weights = weights;
  decimator.accumulators = storage;
  return true;
}

void releaseBlockDecimator(BlockDecimator& decimator) noexcept {
  std::free(decimator.accumulators);
  decimator = BlockDecimator{};
}

bool pushFrame(BlockDecimator& decimator, ChannelFilter& filter, const double* frame, const int32_t* channels,
               int nSel, const double* scale, double* out, int64_t outStride) noexcept {
  const int phase = decimator.phase;
  const double w = decimator.weights ? decimator.weights[phase] : phase == decimator.factor - 1 ? 1.0 : 0.0;
  double* acc = decimator.accumulators;
  for (int c = 0; c < decimator.nChans; ++c) acc[c] += stepChannelFilter(filter, frame[c], c) * w;
  if (++decimator.phase < decimator.factor) return false;
  decimator.phase = 0;
  for (int k = 0; k < nSel; ++k) out[k * outStride] = acc[channels[k]] * scale[channels[k]];
  for (int c = 0; c < decimator.nChans; ++c) acc[c] = 0.0;
  return true;
}

}  // namespace eeg
