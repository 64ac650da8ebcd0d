# stdexception_options(target): build options of the project's own targets.
# Warnings are errors; __FILE__ is written relative to the source tree, so
# reports do not depend on where the tree was checked out; and with g++ static
# objects stay out of STB_GNU_UNIQUE, which would stop a shared object from
# ever being unloaded.
function(stdexception_options target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
            "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=")
    endif()
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -fno-gnu-unique)
    endif()
endfunction()

# stdexception_skipped_test(name reason): a test that CTest reports as skipped,
# stating why, for a check that cannot run on the platform being built for.
function(stdexception_skipped_test name reason)
    add_test(NAME ${name} COMMAND "${CMAKE_COMMAND}" -E echo "skipped: ${reason}")
    set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "^skipped: ")
endfunction()
