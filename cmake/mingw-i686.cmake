# Cross-build for 32-bit Windows with Debian's MinGW-w64 compilers (POSIX thread model, which
# std::thread needs). The executable is linked statically so that it needs no runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VELUND_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VELUND_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELUND_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELUND_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELUND_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc, libstdc++ or winpthread DLLs next to the executable; console subsystem.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -mconsole")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
