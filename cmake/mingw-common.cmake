# What both MinGW-w64 cross-builds share, for the Debian compilers named by VELUND_MINGW_PREFIX:
# the POSIX thread model (which std::thread needs), and a console program linked statically, so
# that it needs no libgcc, libstdc++ or winpthread DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)

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
