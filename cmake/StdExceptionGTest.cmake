# GoogleTest for the tests. By default a native build uses the installed
# package, and a cross build compiles GoogleTest from the sources that
# Debian's googletest package installs. STDEXCEPTION_GTEST_FROM_SOURCE=ON
# compiles those sources in a native build too: with this build's compiler
# and standard library, which the installed package, built with libstdc++,
# does not serve when the tests are built with libc++.
#
# A native build lists every test case of a test program as a test of its
# own. A cross build runs each test program as one test through the emulator:
# listing the cases would start every program once more, and at build time.
option(STDEXCEPTION_GTEST_FROM_SOURCE "Compile GoogleTest from its sources in this build"
    ${CMAKE_CROSSCOMPILING})
if(NOT STDEXCEPTION_GTEST_FROM_SOURCE)
    find_package(GTest REQUIRED)
    include(GoogleTest)
    return()
endif()

set(STDEXCEPTION_GTEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources, for STDEXCEPTION_GTEST_FROM_SOURCE")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory("${STDEXCEPTION_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest"
    EXCLUDE_FROM_ALL SYSTEM)  # which defines GTest::gtest and GTest::gtest_main

include(GoogleTest)
if(CMAKE_CROSSCOMPILING)
    function(gtest_discover_tests target)
        add_test(NAME ${target} COMMAND ${target})
    endfunction()
endif()
