// A thread's floating-point settings, taken from one thread and applied on another.
#ifndef EEGMEX_PLATFORM_FLOAT_SETTINGS_H
#define EEGMEX_PLATFORM_FLOAT_SETTINGS_H

#include <cfenv>

namespace platform {

// Rounding, exception masks and, on x86, the SSE control register with its flush-to-zero and
// denormals-are-zero bits.
struct FloatSettings {
  std::fenv_t environment{};
  unsigned sseControl = 0;
};

// The calling thread's settings.
FloatSettings currentFloatSettings() noexcept;
// Makes `settings` the calling thread's.
void applyFloatSettings(const FloatSettings& settings) noexcept;

}  // namespace platform

#endif
