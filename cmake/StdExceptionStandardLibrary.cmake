# The C++ standard library that this build compiles and links with, libstdc++
# (GNU) or libc++ (LLVM), as the compiler with CMAKE_CXX_FLAGS takes it
# (clang++ -stdlib=libc++ takes libc++). A program must use the library's
# own: the two name and lay out std::string and std::vector differently, so
# mixing them ends in a page of undefined references when the program links.
#
# Sets STDEXCEPTION_STANDARD_LIBRARY to "libstdc++", "libc++" or "other" and
# writes <StdException/BuildConfig> into ${PROJECT_BINARY_DIR}/include, which
# the build and the install put beside the chief header: its macros tell the
# chief header which one to accept, and it refuses the other with #error.
include(CheckCXXSymbolExists)
check_cxx_symbol_exists(_LIBCPP_VERSION cstddef stdexception_with_libcxx)
check_cxx_symbol_exists(__GLIBCXX__ cstddef stdexception_with_libstdcxx)
set(STDEXCEPTION_BUILT_WITH_LIBCXX 0)
set(STDEXCEPTION_BUILT_WITH_LIBSTDCXX 0)
if(stdexception_with_libcxx)
    set(STDEXCEPTION_STANDARD_LIBRARY libc++)
    set(STDEXCEPTION_BUILT_WITH_LIBCXX 1)
elseif(stdexception_with_libstdcxx)
    set(STDEXCEPTION_STANDARD_LIBRARY libstdc++)
    set(STDEXCEPTION_BUILT_WITH_LIBSTDCXX 1)
else()
    set(STDEXCEPTION_STANDARD_LIBRARY other)
endif()
message(STATUS "C++ standard library: ${STDEXCEPTION_STANDARD_LIBRARY}")

set(stdexception_generated_include_dir "${PROJECT_BINARY_DIR}/include")
configure_file("${CMAKE_CURRENT_LIST_DIR}/BuildConfig.in"
    "${stdexception_generated_include_dir}/StdException/BuildConfig" @ONLY)
