// Eight doubles per vector; built with AVX-512 code generation where the compiler offers it.
#include "filter_kernel.h"

#if defined(EEG_KERNEL_AVX512)
#define EEG_KERNEL_BYTES 64
#define EEG_KERNEL_NS avx512
#include "filter_kernel_impl.h"
#endif

namespace eeg {
#if defined(EEG_KERNEL_AVX512)
KernelSet kernelAvx512() noexcept { return KernelSet{avx512::run, avx512::decode}; }
#else
KernelSet kernelAvx512() noexcept { return KernelSet{}; }
#endif
}  // namespace eeg
