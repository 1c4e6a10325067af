// Channel filter: one IIR filter in direct form II transposed, shared coefficients, one state per channel.
#ifndef EEGFETCH_CORE_CHANNEL_FILTER_H
#define EEGFETCH_CORE_CHANNEL_FILTER_H

#include <cstdint>

namespace eeg {

struct ChannelFilter {
  int L = 0;                // coefficients per vector
  int channels = 0;         // channels with state
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

// Filters one sample x of channel c (0-based) and advances that channel's state:
// y = b[0] x + z[0]; then for i = 1 .. L-1 in rising order z[i-1] = b[i] x + z[i] - y a[i].
inline double stepChannelFilter(ChannelFilter& filter, double x, int c) noexcept {
  const int L = filter.L;
  const int64_t stride = filter.stateStride;
  double* z = filter.state + c;
  const double y = filter.b[0] * x + z[0];
  for (int i = 1; i < L; ++i) z[(i - 1) * stride] = filter.b[i] * x + z[i * stride] - y * filter.a[i];
  return y;
}

}  // namespace eeg

#endif
