# What the MinGW-w64 toolchain files have in common; each sets mingw_target
# (the compilers' target triple), CMAKE_SYSTEM_PROCESSOR and wine_arch (win32
# or win64) before including this file.
#
# Debian's -posix compilers are used: the C++ runtime of the -win32 ones lacks
# the standard threads and mutexes that GoogleTest needs. The C++ runtime
# stays a set of DLLs (libgcc is never linked statically), so that exceptions
# can cross from StdException.dll into the programs. Test programs run under
# Wine through wine.sh, which finds those runtime DLLs in the folders passed
# to it.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${mingw_target}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_target}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_target}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The folders of the runtime DLLs: libstdc++ and libgcc beside the compiler's
# own libraries, libwinpthread in the target's library folder.
set(mingw_runtime_dirs "")
foreach(dll libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE dll_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(dll_dir "${dll_path}" DIRECTORY)
    file(REAL_PATH "${dll_dir}" dll_dir)
    list(APPEND mingw_runtime_dirs "${dll_dir}")
endforeach()
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine.sh;${wine_arch};${mingw_runtime_dirs};--")
