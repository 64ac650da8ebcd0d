# GoogleTest for the tests. A native build uses the installed package and
# lists every test case of a test program as a test of its own. A cross build
# compiles GoogleTest from the sources that Debian's googletest package
# installs, and runs each test program as one test through the emulator:
# listing the cases would start every program once more, and at build time.
if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED)
    include(GoogleTest)
    return()
endif()

set(STDEXCEPTION_GTEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources for cross builds")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory("${STDEXCEPTION_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest"
    EXCLUDE_FROM_ALL SYSTEM)  # which defines GTest::gtest and GTest::gtest_main

include(GoogleTest)
function(gtest_discover_tests target)
    add_test(NAME ${target} COMMAND ${target})
endfunction()
