// Four doubles per vector; built with AVX2 code generation where the compiler offers it.
#include "filter_kernel.h"

#if defined(EEG_KERNEL_AVX2)
#define EEG_KERNEL_BYTES 32
#define EEG_KERNEL_NS avx2
#include "filter_kernel_impl.h"
#endif

namespace eeg {
#if defined(EEG_KERNEL_AVX2)
KernelSet kernelAvx2() noexcept { return KernelSet{avx2::run, avx2::decode}; }
#else
KernelSet kernelAvx2() noexcept { return KernelSet{}; }
#endif
}  // namespace eeg
