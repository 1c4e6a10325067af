# Cross build for 32-bit x86 Windows with Debian's mingw-w64 (posix threads, so std::thread and
# std::mutex exist; -static then keeps libwinpthread, libgcc and libstdc++ inside each binary).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(EEGMEX_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${EEGMEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${EEGMEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${EEGMEX_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${EEGMEX_MINGW_TRIPLE}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${EEGMEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Doubles in SSE2 registers, not the 80-bit x87 stack: the same rounding as the 64-bit and Linux
# builds, so results are the same bits everywhere. Needs a CPU with SSE2 (every x86 CPU since about 2004).
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
