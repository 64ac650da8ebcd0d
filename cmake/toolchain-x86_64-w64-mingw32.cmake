# Cross build for 64-bit x86 Windows with Debian's MinGW-w64 compilers
# (package g++-mingw-w64-x86-64-posix); the test programs run under 64-bit
# Wine, which needs no 32-bit support from the kernel.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(mingw_target x86_64-w64-mingw32)
set(wine_arch win64)
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake")
