# stdexception_warnings(target): the project's own targets treat warnings as
# errors and, with g++, keep static objects out of STB_GNU_UNIQUE, which would
# stop a shared object from ever being unloaded.
function(stdexception_warnings target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
    endif()
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -fno-gnu-unique)
    endif()
endfunction()
