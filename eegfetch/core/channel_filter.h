// Channel filter: one IIR filter in direct form II transposed, shared coefficients, one state per channel;
// either one b/a pair or a cascade of second-order sections, each in direct form II transposed.
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
  // With sections: their count K and their coefficients, K rows of [b0 b1 b2 a0 a1 a2] (own copy; a0
  // is never read). L is then 2K + 1, b = a = [1 0 ...] unused, and state row 2k holds z0 of section
  // k, row 2k + 1 its z1. Without: 0 and null.
  int sections = 0;
  double* sos = nullptr;
  // L rows of stateStride doubles: state[i * stateStride + c] is z[i] of channel c. Keeping the
  // channels of one z index next to each other lets a step over many channels run on whole vectors.
  // Row L - 1 stays zero.
  double* state = nullptr;
  void* storage = nullptr;  // the one allocation behind b, a and state
};

// Copies the coefficients (either null: the identity filter, L = 1 and b = a = [1]) and zeroes the
// state of nChans channels. Returns false, with nothing allocated, when memory runs out.
bool setupChannelFilter(ChannelFilter& filter, int L, const double* a, const double* b, int nChans) noexcept;
// The same with `sections` second-order sections (sos: sections rows of 6 doubles, row by row); 0
// sections or a null sos: the identity filter.
bool setupSosFilter(ChannelFilter& filter, int sections, const double* sos, int nChans) noexcept;
void releaseChannelFilter(ChannelFilter& filter) noexcept;

}  // namespace eeg

#endif
