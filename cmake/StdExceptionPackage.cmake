# Debian packages made by CPack (cpack -G DEB, or the "package" workflow),
# split as Debian splits a library: the runtime package, named after the
# SONAME, holds the shared library; the development package holds the
# headers, the .so link, the CMake package and the pkg-config file, and
# depends on the runtime package of exactly its own version. Each package
# also gets the copyright file and the Debian changelog that Debian requires
# in its documentation directory.
set(stdexception_runtime_package "libstdexception${PROJECT_VERSION_MAJOR}")
set(stdexception_development_package "libstdexception-dev")
# The throw-site capture library, where it is built, is a runtime package of
# its own, so that the core package depends on nothing that it needs (libdw).
set(stdexception_throwsites_package "libstdexceptionthrowsites${PROJECT_VERSION_MAJOR}")
# stdexception-symbolize, built with it, is a package of its own too: it
# runs where reports are read, which need neither library nor headers.
set(stdexception_symbolize_package "stdexception-symbolize")
set(stdexception_components runtime development)
if(TARGET ThrowSites)
    list(APPEND stdexception_components throwsites)
endif()
if(TARGET stdexception_symbolize)
    list(APPEND stdexception_components symbolize)
endif()

# The packaging revision: raise it when the packages change but the library
# does not; the package version is <library version>-<revision>.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(stdexception_package_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(CPACK_PACKAGE_CONTACT "StdException developers <maintainers@users.noreply.c-seed-96c285c1.example>")

# debian/copyright in the machine-readable format, made from LICENSE: its
# copyright line, and its text (after the title) as the licence text.
file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" stdexception_copyright REGEX "^Copyright ")
string(REGEX REPLACE "^Copyright (\\([cC]\\) )?" "" stdexception_copyright "${stdexception_copyright}")
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" stdexception_license)
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" stdexception_license "${stdexception_license}")
string(STRIP "${stdexception_license}" stdexception_license)
string(REGEX REPLACE "\n\n" "\n.\n" stdexception_license "${stdexception_license}")
string(REGEX REPLACE "\n" "\n " stdexception_license "${stdexception_license}")
if(NOT stdexception_copyright OR stdexception_license MATCHES "^MIT License")
    message(FATAL_ERROR "LICENSE: no copyright line, or not the MIT License text after its title")
endif()
file(WRITE "${PROJECT_BINARY_DIR}/package/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: StdException
Comment: The MIT License (Debian's name for it is Expat), as in LICENSE.

Files: *
Copyright: ${stdexception_copyright}
License: Expat
 ${stdexception_license}
")

# changelog.Debian.gz: one entry for this version, dated (reproducibly, when
# SOURCE_DATE_EPOCH is set) by the configure run, compressed as Debian does,
# without a name or time stamp in the gzip header.
string(TIMESTAMP stdexception_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${PROJECT_BINARY_DIR}/package/changelog.Debian"
"stdexception (${stdexception_package_version}) unstable; urgency=medium

  * StdException ${PROJECT_VERSION} as Debian packages.

 -- ${CPACK_PACKAGE_CONTACT}  ${stdexception_changelog_date}
")
execute_process(COMMAND gzip -9nc "${PROJECT_BINARY_DIR}/package/changelog.Debian"
    OUTPUT_FILE "${PROJECT_BINARY_DIR}/package/changelog.Debian.gz" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${PROJECT_BINARY_DIR}/package/changelog.Debian: ${status}")
endif()

# Only for the packages: a plain cmake --install leaves them out.
foreach(component IN LISTS stdexception_components)
    install(FILES "${PROJECT_BINARY_DIR}/package/copyright" "${PROJECT_BINARY_DIR}/package/changelog.Debian.gz"
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${stdexception_${component}_package}"
        COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# ldconfig runs through glibc's trigger rather than a maintainer script.
file(WRITE "${PROJECT_BINARY_DIR}/package/triggers" "activate-noawait ldconfig\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME stdexception)
set(CPACK_PACKAGE_VENDOR "StdException developers")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
# The pkg-config file names the prefix it is installed into: staged through
# DESTDIR, that is the packages' prefix, not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${stdexception_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE stdexception)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies on the C and C++ runtimes, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The shlibs file of the runtime package (the other has no shared object).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Each description below starts with its own summary line; a package-wide
# summary would go in front of both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "${stdexception_runtime_package}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/package/triggers")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "C++ exception classes with call traces and reports
StdException is a small C++ library of exception classes (namespace Quorbel)
for applications that want to know, when something fails, where it was
raised, which functions it passed through on its way up, and which earlier
failure it replaced. Standard and foreign exceptions are folded into the
family at guarded boundaries, and an exception renders as a text report, a
one-line XML report, or through a reporting strategy of the application.

This package contains the shared library.")

set(CPACK_DEBIAN_THROWSITES_PACKAGE_NAME "${stdexception_throwsites_package}")
set(CPACK_DEBIAN_THROWSITES_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_THROWSITES_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/package/triggers")
set(CPACK_DEBIAN_THROWSITES_DESCRIPTION "C++ exception classes with call traces (throw-site capture)
StdException is a small C++ library of exception classes (namespace Quorbel)
that record where a failure was raised, the guarded functions it passed
through and the failures it replaced.

This package contains the capture library: while it is loaded, every throw
in the process records the native frames of its stack, which the exceptions
keep and their reports show with symbols and lines.")

set(CPACK_DEBIAN_SYMBOLIZE_PACKAGE_NAME "${stdexception_symbolize_package}")
set(CPACK_DEBIAN_SYMBOLIZE_PACKAGE_SECTION devel)
# llvm-symbolizer reads the frames of Windows modules.
set(CPACK_DEBIAN_SYMBOLIZE_PACKAGE_SUGGESTS llvm)
set(CPACK_DEBIAN_SYMBOLIZE_DESCRIPTION "C++ exception classes with call traces (symbolizer of reports)
StdException is a small C++ library of exception classes (namespace Quorbel)
that record where a failure was raised, the guarded functions it passed
through and the failures it replaced; its capture library records the native
frames of every throw.

This package contains stdexception-symbolize, which fills in the functions,
files and lines of the frames in the JSON reports of stripped programs, from
logs or the journal, after the fact, from debug files found by build ID
(such as those of -dbgsym packages), never over the network; those of
Windows modules through llvm-symbolizer.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "${stdexception_development_package}")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
list(REMOVE_ITEM stdexception_components development symbolize)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS ${stdexception_components})
# Without the capture library, the development package has neither its
# target nor its pkg-config file, and depends on the core package alone.
if(TARGET ThrowSites)
    set(stdexception_development_contents "targets Quorbel::StdException and Quorbel::ThrowSites) and the
pkg-config files StdException.pc and StdExceptionThrowSites.pc.")
else()
    set(stdexception_development_contents "target Quorbel::StdException) and the pkg-config
file StdException.pc.")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "C++ exception classes with call traces and reports (development files)
StdException is a small C++ library of exception classes (namespace Quorbel)
that record where a failure was raised, the guarded functions it passed
through and the failures it replaced, and report it as text, as XML or
through a strategy of the application.

This package contains the headers, the CMake package (find_package
StdException, ${stdexception_development_contents}")

include(CPack)
