# The throw-site capture library, libStdExceptionThrowSites (Linux and ELF
# on x86-64, and Windows on x86-64 and i686, below): a second shared library
# that hooks the unwinder's entry, _Unwind_RaiseException, to copy the top of
# the stack at every throw, and
# unwinds the copy and reads functions, files and lines with elfutils' libdw
# (and zlib, for the CRC-32 of debug files).
# Neither it nor the core library links the other; the core finds it at run
# time.
#
# STDEXCEPTION_THROW_SITES says whether it is built: AUTO (the default) where
# libdw and zlib are found, saying in one status line why not where it is not; ON
# always, failing the configuration without libdw (or off Linux); OFF never.
# Without it the core library, its tests, the demo, the install and the
# packages are the same but for the capture library and what needs it.
#
# Targets: ThrowSites, the library itself (exported as
# Quorbel::ThrowSitesLibrary), and Quorbel::ThrowSites, what an application
# links to turn capture on. Linking a library that the program references no
# symbol of would be undone by --as-needed, and the library must come before
# the unwinder (libgcc_s, or LLVM's libunwind) in the search order to hook its
# entry, so Quorbel::ThrowSites puts it on the link line between
# --push-state,--no-as-needed and --pop-state: always in DT_NEEDED, and ahead
# of the libraries that the compiler driver appends at the end.
#
# Installed: the shared library in component "throwsites", its .so link and
# the pkg-config file StdExceptionThrowSites.pc in "development", the targets
# in the export set StdExceptionTargets of the core library.
set(STDEXCEPTION_THROW_SITES AUTO CACHE STRING
    "Build the throw-site capture library: AUTO (where libdw is found), ON or OFF")
set_property(CACHE STDEXCEPTION_THROW_SITES PROPERTY STRINGS AUTO ON OFF)
if(NOT STDEXCEPTION_THROW_SITES MATCHES "^(AUTO|ON|OFF)$")
    message(FATAL_ERROR "STDEXCEPTION_THROW_SITES is \"${STDEXCEPTION_THROW_SITES}\": it takes AUTO "
        "(build the throw-site capture library where libdw is found), ON (build it, fail without "
        "libdw) or OFF (leave it out).")
endif()

# Why the library is left out, if it is.
set(stdexception_throw_sites_missing "")
if(STDEXCEPTION_THROW_SITES STREQUAL "OFF")
    set(stdexception_throw_sites_missing "STDEXCEPTION_THROW_SITES is OFF")
elseif(WIN32)
    # x86-64 (a vectored exception handler) and i686 (a hook on the
    # unwinder's entry), each with MinGW's unwinder.
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
        set(stdexception_windows_capture WindowsHandler.cpp)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86|i[3-6]86|X86)$")
        set(stdexception_windows_capture WindowsHook.cpp)
    else()
        set(stdexception_throw_sites_missing "on Windows it walks the frames of x86-64 and i686 only")
    endif()
elseif(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(stdexception_throw_sites_missing "it is built on Linux and Windows only")
elseif(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
    set(stdexception_throw_sites_missing "it saves the registers of x86-64 only")
else()
    # libdw: from its pkg-config file (libdw-dev), else from the default paths.
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
        pkg_check_modules(stdexception_libdw QUIET IMPORTED_TARGET libdw)
    endif()
    if(NOT TARGET PkgConfig::stdexception_libdw)
        find_path(stdexception_libdw_include elfutils/libdwfl.h)
        find_library(stdexception_libdw_library dw)
        find_library(stdexception_libelf_library elf)
        if(NOT stdexception_libdw_include OR NOT stdexception_libdw_library
           OR NOT stdexception_libelf_library)
            string(CONCAT stdexception_throw_sites_missing "it needs elfutils' libdw and libelf with their "
                "headers (libdw.pc, elfutils/libdwfl.h, libdw.so, libelf.so), found neither through "
                "pkg-config nor in the default paths (on Debian and Ubuntu: apt-get install libdw-dev)")
        endif()
    endif()
    # zlib: the CRC-32 of the files that .gnu_debuglink names.
    find_package(ZLIB QUIET)
    if(NOT stdexception_throw_sites_missing AND NOT ZLIB_FOUND)
        set(stdexception_throw_sites_missing
            "it needs zlib with its header (on Debian and Ubuntu: apt-get install zlib1g-dev)")
    endif()
endif()
if(stdexception_throw_sites_missing)
    if(STDEXCEPTION_THROW_SITES STREQUAL "ON")
        message(FATAL_ERROR "STDEXCEPTION_THROW_SITES is ON, but the throw-site capture library "
            "cannot be built: ${stdexception_throw_sites_missing}. With -DSTDEXCEPTION_THROW_SITES=AUTO "
            "or OFF the core library builds without it.")
    endif()
    message(STATUS "Throw-site capture library: left out, ${stdexception_throw_sites_missing}")
    return()
endif()
message(STATUS "Throw-site capture library: built")

include(GNUInstallDirs)
set(stdexception_throwsites_dir "${PROJECT_SOURCE_DIR}/common/ThrowSites")

# On Windows: StdExceptionThrowSites.dll, which needs neither libdw nor zlib:
# on x86-64 a vectored exception handler, on i686 a hook on the unwinder's
# entry in the modules' import tables, which walks the frames with the
# unwinder of libgcc_s_dw2-1.dll (so libgcc is linked as that DLL, and psapi
# lists the modules). A DLL that the program references no symbol of gets no
# import, so Quorbel::ThrowSites makes the link reference its connect
# function.
if(WIN32)
    add_library(ThrowSites SHARED "${stdexception_throwsites_dir}/Windows.cpp"
        "${stdexception_throwsites_dir}/${stdexception_windows_capture}"
        "${stdexception_throwsites_dir}/Recording.cpp")
    if(stdexception_windows_capture STREQUAL "WindowsHook.cpp")
        target_link_libraries(ThrowSites PRIVATE psapi)
        target_link_options(ThrowSites PRIVATE -shared-libgcc)
    endif()
    target_include_directories(ThrowSites PRIVATE "${PROJECT_SOURCE_DIR}/common")
    target_compile_features(ThrowSites PRIVATE cxx_std_17)
    set_target_properties(ThrowSites PROPERTIES
        OUTPUT_NAME StdExceptionThrowSites
        PREFIX ""
        EXPORT_NAME ThrowSitesLibrary
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    stdexception_options(ThrowSites)
    add_library(ThrowSitesCapture INTERFACE)
    # i686 symbols carry the C prefix "_".
    if(stdexception_windows_capture STREQUAL "WindowsHook.cpp")
        set(stdexception_connect_symbol _QuorbelThrowSitesConnect)
    else()
        set(stdexception_connect_symbol QuorbelThrowSitesConnect)
    endif()
    target_link_libraries(ThrowSitesCapture INTERFACE ThrowSites
        "-Wl,-u,${stdexception_connect_symbol}")
    set_target_properties(ThrowSitesCapture PROPERTIES EXPORT_NAME ThrowSites)
    add_library(Quorbel::ThrowSites ALIAS ThrowSitesCapture)
    install(TARGETS ThrowSites ThrowSitesCapture EXPORT StdExceptionTargets
        RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT throwsites
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)
    return()
endif()

if(TARGET PkgConfig::stdexception_libdw)
    set(stdexception_libdw PkgConfig::stdexception_libdw)
else()
    add_library(stdexception_libdw INTERFACE)
    target_include_directories(stdexception_libdw INTERFACE "${stdexception_libdw_include}")
    target_link_libraries(stdexception_libdw INTERFACE "${stdexception_libdw_library}"
        "${stdexception_libelf_library}")
    set(stdexception_libdw stdexception_libdw)
endif()

add_library(ThrowSites SHARED "${stdexception_throwsites_dir}/Interposition.cpp"
    "${stdexception_throwsites_dir}/Recording.cpp" "${stdexception_throwsites_dir}/StackCopy.cpp"
    "${stdexception_throwsites_dir}/DebugFiles.cpp"
    "${stdexception_throwsites_dir}/Symbols.cpp" "${stdexception_throwsites_dir}/Unwinding.cpp")
# The frames of one call in one module, which stdexception-symbolize shares.
target_sources(ThrowSites PRIVATE "${stdexception_throwsites_dir}/ModuleFrames.cpp")
target_include_directories(ThrowSites PRIVATE "${PROJECT_SOURCE_DIR}/common")
target_compile_features(ThrowSites PRIVATE cxx_std_17)
target_link_libraries(ThrowSites PRIVATE ${stdexception_libdw} ZLIB::ZLIB ${CMAKE_DL_LIBS})
set_target_properties(ThrowSites PROPERTIES
    OUTPUT_NAME StdExceptionThrowSites
    EXPORT_NAME ThrowSitesLibrary
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
set(stdexception_throwsites_symbols "${CMAKE_CURRENT_LIST_DIR}/StdExceptionThrowSites.map")
target_link_options(ThrowSites PRIVATE "LINKER:--version-script=${stdexception_throwsites_symbols}")
set_property(TARGET ThrowSites APPEND PROPERTY LINK_DEPENDS "${stdexception_throwsites_symbols}")
stdexception_options(ThrowSites)

add_library(ThrowSitesCapture INTERFACE)
target_link_libraries(ThrowSitesCapture INTERFACE
    "-Wl,--push-state,--no-as-needed" ThrowSites "-Wl,--pop-state")
set_target_properties(ThrowSitesCapture PROPERTIES EXPORT_NAME ThrowSites)
add_library(Quorbel::ThrowSites ALIAS ThrowSitesCapture)

install(TARGETS ThrowSites ThrowSitesCapture EXPORT StdExceptionTargets
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT throwsites
        NAMELINK_COMPONENT development)

# The pkg-config file, made like StdException.pc: the prefix it names is the
# one it is installed into, known only at install time. It requires
# StdException, as StdExceptionJournal.pc does, so that it alone links a
# program that calls GetThrowSite.
set(pc_prefix "@pc_install_prefix@")
file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/StdExceptionThrowSites.pc.in" CONTENT [=[
prefix=@pc_prefix@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@

Name: StdExceptionThrowSites
Description: Throw-site capture for StdException: the native frames of every throw
Version: @PROJECT_VERSION@
Requires: StdException
Libs: -L${libdir} -Wl,--push-state,--no-as-needed -lStdExceptionThrowSites -Wl,--pop-state
]=] @ONLY)
install(CODE "
    get_filename_component(pc_install_prefix \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
    configure_file(\"${PROJECT_BINARY_DIR}/StdExceptionThrowSites.pc.in\"
        \"${PROJECT_BINARY_DIR}/StdExceptionThrowSites.pc\" @ONLY)" COMPONENT development)
install(FILES "${PROJECT_BINARY_DIR}/StdExceptionThrowSites.pc"
    DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT development)
