#include "filter_kernel.h"

namespace eeg {

namespace {

bool processorHas(int isa) noexcept {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
  __builtin_cpu_init();
  switch (isa) {
    case isaSse2: return __builtin_cpu_supports("sse2");
    case isaAvx2: return __builtin_cpu_supports("avx2");
    case isaAvx512: return __builtin_cpu_supports("avx512f");
    default: return true;
  }
#else
  return isa <= isaSse2;
#endif
}

}  // namespace

int kernelLanes(int isa) noexcept {
  switch (isa) {
    case isaAvx512: return 8;
    case isaAvx2: return 4;
    case isaSse2: return 2;
    default: return 1;
  }
}

KernelSet kernelFor(int isa) noexcept {
  KernelSet f;
  switch (isa) {
    case isaSse2: f = kernelSse2(); break;
    case isaAvx2: f = kernelAvx2(); break;
    case isaAvx512: f = kernelAvx512(); break;
    default: return f;
  }
  // The two-double version is plain code where the processor lacks SSE2, so it always runs.
  if (isa != isaSse2 && !processorHas(isa)) return KernelSet{};
  return f;
}

int bestKernelIsa() noexcept {
  for (int isa = isaAvx512; isa > isaSse2; --isa)
    if (kernelFor(isa).filter) return isa;
  return isaSse2;
}

}  // namespace eeg
