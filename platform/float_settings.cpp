#include "platform/float_settings.h"

#if defined(__SSE__) || defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define EEGMEX_SSE_CONTROL 1
#endif

namespace platform {

FloatSettings currentFloatSettings() noexcept {
  FloatSettings s;
  std::fegetenv(&s.environment);
#if defined(EEGMEX_SSE_CONTROL)
  s.sseControl = _mm_getcsr();
#endif
  return s;
}

void applyFloatSettings(const FloatSettings& s) noexcept {
  std::fesetenv(&s.environment);
#if defined(EEGMEX_SSE_CONTROL)
  _mm_setcsr(s.sseControl);  // after fesetenv, which may leave flush-to-zero and denormals-are-zero
#endif
}

}  // namespace platform
