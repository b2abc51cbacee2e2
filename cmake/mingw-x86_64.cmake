# Cross-build for 64-bit Windows with Debian's MinGW-w64 compilers: the same code as the 32-bit
# build, for the smoke runs under wine64 where 32-bit programs cannot run. Nothing of it ships.
set(VELUND_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
