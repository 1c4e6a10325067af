#include "filter_kernel.h"

#include <initializer_list>

namespace eeg {

namespace {

bool processorHas(InstructionSet isa) noexcept {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
  __builtin_cpu_init();
  switch (isa) {
    case InstructionSet::sse2: return __builtin_cpu_supports("sse2");
    case InstructionSet::avx2: return __builtin_cpu_supports("avx2");
    case InstructionSet::avx512: return __builtin_cpu_supports("avx512f");
    default: return true;
  }
#else
  return isa <= InstructionSet::sse2;
#endif
}

}  // namespace

KernelSet kernelFor(InstructionSet isa) noexcept {
  KernelSet f;
  switch (isa) {
    case InstructionSet::sse2: f = kernelSse2(); break;
    case InstructionSet::avx2: f = kernelAvx2(); break;
    case InstructionSet::avx512: f = kernelAvx512(); break;
    default: return f;
  }
  // The two-double version is plain code where the processor lacks SSE2, so it always runs.
  if (isa != InstructionSet::sse2 && !processorHas(isa)) return KernelSet{};
  return f;
}

InstructionSet widestInstructionSet() noexcept {
  for (InstructionSet isa : {InstructionSet::avx512, InstructionSet::avx2})
    if (kernelFor(isa).filter) return isa;
  return InstructionSet::sse2;
}

}  // namespace eeg
