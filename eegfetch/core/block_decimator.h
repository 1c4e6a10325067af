// Block decimator: weighted sums over consecutive blocks of filtered frames, then selection and scaling.
#ifndef EEGFETCH_CORE_BLOCK_DECIMATOR_H
#define EEGFETCH_CORE_BLOCK_DECIMATOR_H

#include <cstdint>

#include "channel_filter.h"

namespace eeg {

struct BlockDecimator {
  int factor = 0;                   // frames per block, equal to the number of weights
  int nChans = 0;                   // accumulators
  int phase = 0;                    // position of the next frame within the current block
  const double* weights = nullptr;  // borrowed; null: factor - 1 zeros then 1, computed, never stored
  double* accumulators = nullptr;   // nChans, owned
};

// Borrows `factor` weights (null: the last frame of a block counts alone) and zeroes nChans
// accumulators. Storage never grows with the factor. Returns false, with nothing allocated, when memory
// runs out.
bool setupBlockDecimator(BlockDecimator& decimator, int factor, int nChans, const double* weights) noexcept;
void releaseBlockDecimator(BlockDecimator& decimator) noexcept;

// Pushes one frame of nChans doubles: every channel, selected or not, goes through the filter and its
// output times the weight of the current position is added to the channel's accumulator. When the
// frame ends a block, writes output value k = accumulator[channels[k]] * scale[channels[k]] to
// out[k * outStride] for k < nSel, zeroes the accumulators and returns true.
bool pushFrame(BlockDecimator& decimator, ChannelFilter& filter, const double* frame, const int32_t* channels,
               int nSel, const double* scale, double* out, int64_t outStride) noexcept;

}  // namespace eeg

#endif
