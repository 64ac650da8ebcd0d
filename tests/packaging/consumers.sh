#!/usr/bin/env bash
# Installs the built library into a scratch prefix, checks what was installed,
# then builds and runs the consumer of tests/consumer three ways: through the
# installed CMake package, with the source tree as a subdirectory, and with a
# plain compiler call whose flags come from the installed pkg-config file.
#
# Usage: consumers.sh SOURCE-DIR BUILD-DIR SCRATCH-DIR LIBDIR VERSION CXX CXXFLAGS GENERATOR
set -euo pipefail
source_dir=$1 build_dir=$2 scratch=$3 libdir=$4 version=$5 cxx=$6 cxxflags=$7 generator=$8
consumer=$source_dir/tests/consumer
prefix=$scratch/prefix
rm -rf "$scratch"
mkdir -p "$scratch"

# quiet COMMAND...: runs the command, showing its output only when it fails.
quiet() {
    "$@" > "$scratch/last.log" 2>&1 || { cat "$scratch/last.log"; return 1; }
}

echo "== cmake --install into a scratch prefix"
quiet cmake --install "$build_dir" --prefix "$prefix"
installed=$(cd "$prefix" && find . ! -type d -printf '%P -> %l\n' |
    sed 's/ -> $//;s/Targets-[a-z]*[.]/Targets-CONFIG./' | LC_ALL=C sort)
expected="include/StdException/Guard
include/StdException/StdException
include/StdException/Strategies
$libdir/cmake/StdException/StdExceptionConfig.cmake
$libdir/cmake/StdException/StdExceptionConfigVersion.cmake
$libdir/cmake/StdException/StdExceptionTargets-CONFIG.cmake
$libdir/cmake/StdException/StdExceptionTargets.cmake
$libdir/libStdException.so -> libStdException.so.${version%%.*}
$libdir/libStdException.so.${version%%.*} -> libStdException.so.$version
$libdir/libStdException.so.$version
$libdir/pkgconfig/StdException.pc"
if [[ $installed != "$expected" ]]; then
    diff <(echo "$expected") <(echo "$installed") || true
    echo "the installed files differ from the expected ones (< expected, > installed)"
    exit 1
fi

echo "== find_package(StdException 1 CONFIG REQUIRED)"
quiet cmake -S "$consumer" -B "$scratch/find-package" -G "$generator" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_PREFIX_PATH="$prefix"
grep -qx "StdException_DIR:PATH=$prefix/$libdir/cmake/StdException" \
    "$scratch/find-package/CMakeCache.txt" || { echo "found a package other than the installed one"; exit 1; }
quiet cmake --build "$scratch/find-package"
"$scratch/find-package/consumer"

echo "== add_subdirectory of the source tree"
quiet cmake -S "$consumer" -B "$scratch/subdirectory" -G "$generator" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" -DSTDEXCEPTION_SOURCE_DIR="$source_dir"
quiet cmake --build "$scratch/subdirectory" -j 2
"$scratch/subdirectory/consumer"

echo "== pkg-config --cflags --libs StdException"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
flags=$(pkg-config --cflags --libs StdException)
# shellcheck disable=SC2086  # the flags are meant to split into words
quiet "$cxx" $cxxflags -std=c++11 -Wall -Wextra -Wpedantic -Werror "$consumer/Consumer.cpp" $flags \
    -o "$scratch/pkg-config-consumer"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir StdException) "$scratch/pkg-config-consumer"
