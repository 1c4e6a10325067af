# Cross build for x86-64 Windows with Debian's mingw-w64 (posix threads, so std::thread and
# std::mutex exist; -static then keeps libwinpthread, libgcc and libstdc++ inside each binary).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(EEGMEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${EEGMEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${EEGMEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${EEGMEX_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${EEGMEX_MINGW_TRIPLE}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${EEGMEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
