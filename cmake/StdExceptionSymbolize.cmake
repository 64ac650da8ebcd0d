# stdexception-symbolize: fills in the frames of JSON reports from stripped
# programs after the fact, from the modules' debugging information found by
# build ID. Built where the capture library is (it describes frames with the
# capture library's own code, ModuleFrames.cpp and DebugFiles.cpp, compiled
# into it, and writes them with the reports' internal headers), and links
# neither library: only libdw, libelf and zlib.
#
# Installed into bin/ in component "symbolize", the Debian package
# stdexception-symbolize: the tool runs where reports are read, which need
# not be where programs are built, so it is a package of its own rather than
# part of the development package.
set(stdexception_symbolize_dir "${PROJECT_SOURCE_DIR}/common/Symbolize")
add_executable(stdexception_symbolize
    "${stdexception_symbolize_dir}/Main.cpp"
    "${stdexception_symbolize_dir}/ReportLines.cpp"
    "${stdexception_symbolize_dir}/Resolver.cpp"
    "${stdexception_symbolize_dir}/PeModules.cpp"
    "${stdexception_symbolize_dir}/Json.cpp"
    "${stdexception_throwsites_dir}/ModuleFrames.cpp"
    "${stdexception_throwsites_dir}/DebugFiles.cpp")
target_include_directories(stdexception_symbolize PRIVATE "${PROJECT_SOURCE_DIR}/common")
target_compile_features(stdexception_symbolize PRIVATE cxx_std_17)
target_compile_definitions(stdexception_symbolize PRIVATE
    STDEXCEPTION_SYMBOLIZE_VERSION="${PROJECT_VERSION}")
target_link_libraries(stdexception_symbolize PRIVATE ${stdexception_libdw} ZLIB::ZLIB)
set_target_properties(stdexception_symbolize PROPERTIES OUTPUT_NAME stdexception-symbolize)
stdexception_options(stdexception_symbolize)
install(TARGETS stdexception_symbolize RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
    COMPONENT symbolize)
