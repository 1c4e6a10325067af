// Advice to the system about memory the caller owns.
#ifndef EEGMEX_PLATFORM_MEMORY_H
#define EEGMEX_PLATFORM_MEMORY_H

#include <cstddef>

namespace platform {

// Asks that the untouched storage p .. p + bytes, which is about to be written whole, be backed by
// large pages where the system offers them (Linux: transparent huge pages on request). A large
// result then costs a few hundred page faults instead of one for every 4 KiB, and its writes miss
// the address cache less. Only the whole large pages inside the range are advised; nothing is
// read or written, and a system without the advice ignores it.
void preferLargePages(void* p, size_t bytes) noexcept;

}  // namespace platform

#endif
