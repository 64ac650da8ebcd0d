# Cross build for 32-bit x86 Windows with Debian's MinGW-w64 compilers
# (package g++-mingw-w64-i686-posix); the test programs run under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_target i686-w64-mingw32)
set(wine_arch win32)
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake")
