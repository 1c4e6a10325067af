// Channel filter: one IIR filter in direct form II transposed, shared coefficients, one state per channel.
// The filter kernel (filter_kernel.h) steps it, many channels and frames at a time.
#ifndef EEGFETCH_CORE_CHANNEL_FILTER_H
#define EEGFETCH_CORE_CHANNEL_FILTER_H

#include <cstdint>

namespace eeg {

struct ChannelFilter {
  int L = 0;                // coefficients per vector
  int64_t stateStride = 0;  // doubles between state rows (channels rounded up to a whole vector)
  double* b = nullptr;      // L numerator coefficients (own copy)
  double* a = nullptr;      // L denominator coefficients (own copy); a[0] is never read
  // L rows of stateStride doubles: state[i * stateStride + c] is z[i] of channel c. Keeping the
  // channels of one z index next to each other lets a step over many channels run on whole vectors.
  // Row L - 1 stays zero.
  double* state = nullptr;
  void* storage = nullptr;  // the one allocation behind b, a and state
};

// Copies the coefficients (either null: the identity filter, L = 1 and b = a = [1]) and zeroes the
// state of nChans channels. Returns false, with nothing allocated, when memory runs out.
bool setupChannelFilter(ChannelFilter& filter, int L, const double* a, const double* b, int nChans) noexcept;
void releaseChannelFilter(ChannelFilter& filter) noexcept;

}  // namespace eeg

#endif
