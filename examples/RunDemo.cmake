# Runs the demo and checks its exit status. With EXPECTED it also compares the
# demo's whole standard output and standard error, byte for byte, with the
# golden files EXPECTED.out and EXPECTED.err (a missing file stands for no
# output at all); with UPDATE=ON it rewrites those files instead.
#
#   cmake -DDEMO=<program> "-DARGS=<options, blank-separated>" -DSTATUS=<exit status>
#         [-DEXPECTED=<golden file stem>] [-DSOURCE_ROOT=<source tree>]
#         [-DBUILD_ROOT=<build tree>] [-DUPDATE=ON] -P RunDemo.cmake
#
# The output goes through files and is read as hex: CMake's text reads drop the
# carriage returns that the reports end their lines with. What changes from
# machine to machine in the frames of a throw site is made constant first:
# every address and offset ("0x..." in hex) becomes "0x?", every build ID "?",
# the source and build trees in paths "<source>" and "<build>", and a frame in
# a system library (whose debugging information may or may not be installed)
# "(system)", in the readable, JSON and escaped XML reports alike; in the
# readable report a run of such frames is one "(system)" line.
cmake_minimum_required(VERSION 3.25)

separate_arguments(args UNIX_COMMAND "${ARGS}")
if(NOT DEFINED EXPECTED)
    execute_process(COMMAND "${DEMO}" ${args} RESULT_VARIABLE status)
else()
    get_filename_component(stem "${EXPECTED}" NAME)
    set(actual "${CMAKE_CURRENT_BINARY_DIR}/${stem}")
    execute_process(COMMAND "${DEMO}" ${args} RESULT_VARIABLE status
                    OUTPUT_FILE "${actual}.out" ERROR_FILE "${actual}.err")
endif()
if(NOT status STREQUAL STATUS)
    message(FATAL_ERROR "${DEMO} ${ARGS}: exit status ${status}, expected ${STATUS}")
endif()
if(NOT DEFINED EXPECTED)
    return()
endif()

foreach(stream out err)
    set(golden "${EXPECTED}.${stream}")
    set(constant "s/0x[0-9a-f]+/0x?/g")
    foreach(tree IN ITEMS BUILD SOURCE)
        if(${tree}_ROOT)
            string(TOLOWER "${tree}" name)
            string(APPEND constant ";s|${${tree}_ROOT}/|<${name}>/|g")
        endif()
    endforeach()
    string(APPEND constant [=[;s/"buildId":"[0-9a-f]+"/"buildId":"?"/g;s/ buildId="[0-9a-f]+"/ buildId="?"/g]=]
        [=[;s|^( *#[0-9]+ ).*[(](/usr)?/lib/[^)]*[)]$|\1(system)|;]=]
        [=[s|^( *#[0-9]+ )(/usr)?/lib/[^ ]*[+]0x[?]$|\1(system)|;]=]
        [=[s|[{]"address":"0x[?]","module":"(/usr)?/lib/[^}]*[}]|{"module":"(system)"}|g;]=]
        [=[s|<Frame [^>]*><Module>(/usr)?/lib/[^<]*</Module><Function>[^<]*</Function>]=]
        [=[<File>[^<]*</File><Line>[0-9]*</Line></Frame>|<Frame><Module>(system)</Module></Frame>|g]=])
    execute_process(COMMAND sed -E -i "${constant}" "${actual}.${stream}" COMMAND_ERROR_IS_FATAL ANY)
    # Neighbouring frames in system libraries are one: a sanitizer's runtime
    # adds a frame of its own below a thread's function.
    execute_process(COMMAND sed -E -z -i
        [=[s/( *)#[0-9]+ [(]system[)]\n( *#[0-9]+ [(]system[)]\n)*/\1(system)\n/g]=]
        "${actual}.${stream}" COMMAND_ERROR_IS_FATAL ANY)
    file(READ "${actual}.${stream}" actual_bytes HEX)
    if(UPDATE)
        if(actual_bytes STREQUAL "")
            file(REMOVE "${golden}")
        else()
            file(COPY_FILE "${actual}.${stream}" "${golden}")
        endif()
        continue()
    endif()
    set(expected_bytes "")
    if(EXISTS "${golden}")
        file(READ "${golden}" expected_bytes HEX)
    endif()
    if(NOT actual_bytes STREQUAL expected_bytes)
        message(FATAL_ERROR "${DEMO} ${ARGS}: std${stream} differs from ${golden}; "
                            "see diff ${golden} ${actual}.${stream}")
    endif()
endforeach()
