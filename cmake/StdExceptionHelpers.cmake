# Functions for projects that use the library, defined by its CMake package
# and by add_subdirectory or FetchContent of its source tree.

# stdexception_relative_file_names(target): the target's C++ sources see
# __FILE__, and so the reports name their files, relative to the target's
# source directory (src/app.cpp rather than /home/you/app/src/app.cpp). With
# g++ and clang++; other compilers keep their names.
function(stdexception_relative_file_names target)
    get_target_property(source_dir ${target} SOURCE_DIR)
    target_compile_options(${target} PRIVATE
        "$<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang,AppleClang>:-fmacro-prefix-map=${source_dir}/=>")
endfunction()
