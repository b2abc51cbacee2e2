# Cross-build for 64-bit Windows with Debian's MinGW-w64 compilers: the same code as the 32-bit
# build, for the smoke runs under wine64 where 32-bit programs cannot run. Nothing of it ships.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VELUND_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELUND_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELUND_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELUND_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELUND_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -mconsole")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
