#include "channel_filter.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace eeg {

namespace {
constexpr int laneRound = 8;  // state rows are padded to a multiple of the widest vector (8 doubles)

// Storage for L rows of state and the coefficients (2L, then sosDoubles), state aligned on 64 bytes.
bool allocate(ChannelFilter& filter, int L, int nChans, uint64_t sosDoubles) noexcept {
  filter = ChannelFilter{};
  if (L < 1 || nChans < 1) return false;
  const int64_t stride = (int64_t(nChans) + laneRound - 1) / laneRound * laneRound;
  const uint64_t doubles = 2 * uint64_t(L) + sosDoubles + uint64_t(L) * uint64_t(stride);
  if (doubles > SIZE_MAX / sizeof(double) - 8) return false;
  // One block, with room to align the state on 64 bytes.
  void* storage = std::calloc(static_cast<std::size_t>(doubles + 8), sizeof(double));
  if (!storage) return false;
  const uintptr_t base = reinterpret_cast<uintptr_t>(storage);
  double* state = reinterpret_cast<double*>((base + 63) & ~uintptr_t(63));
  double* coef = state + uint64_t(L) * uint64_t(stride);
  filter.storage = storage;
  filter.L = L;
  filter.stateStride = stride;
  filter.state = state;
  filter.b = coef;
  filter.a = coef + L;
  filter.b[0] = 1.0;
  filter.a[0] = 1.0;
  return true;
}

}  // namespace

bool setupChannelFilter(ChannelFilter& filter, int L, const double* a, const double* b, int nChans) noexcept {
  if (!a || !b) L = 1;
  if (!allocate(filter, L, nChans, 0)) return false;
  if (a && b) {
    std::memcpy(filter.b, b, sizeof(double) * L);
    std::memcpy(filter.a, a, sizeof(double) * L);
  }
  return true;
}

bool setupSosFilter(ChannelFilter& filter, int sections, const double* sos, int nChans) noexcept {
  if (!sos || sections < 1) return setupChannelFilter(filter, 1, nullptr, nullptr, nChans);
  if (sections > (1 << 28)) return false;
  if (!allocate(filter, 2 * sections + 1, nChans, 6 * uint64_t(sections))) return false;
  filter.sections = sections;
  filter.sos = filter.a + filter.L;
  std::memcpy(filter.sos, sos, sizeof(double) * 6 * std::size_t(sections));
  return true;
}

void releaseChannelFilter(ChannelFilter& filter) noexcept {
  std::free(filter.storage);
  filter = ChannelFilter{};
}

}  // namespace eeg
