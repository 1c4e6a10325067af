// Two doubles per vector: SSE2 on x86 (part of every x86-64 processor), plain scalar code elsewhere.
#define EEG_KERNEL_BYTES 16
#define EEG_KERNEL_NS sse2
#include "filter_kernel_impl.h"

namespace eeg {
KernelSet kernelSse2() noexcept { return KernelSet{sse2::run, sse2::decode}; }
}  // namespace eeg
