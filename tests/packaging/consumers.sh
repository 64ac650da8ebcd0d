#!/usr/bin/env bash
# Installs the built library into a scratch prefix, checks what was installed,
# then builds and runs the consumer of tests/consumer four ways: through the
# installed CMake package, with the source tree (outside the consumer's) as a
# subdirectory, through FetchContent from a local git repository, and with a
# plain compiler call whose flags come from the installed pkg-config file,
# found through a link to it in another directory; then builds and runs the
# README's first application with that compiler call and with Meson. CAPTURE
# is 1 where the build has the throw-site capture library, which then is
# installed and linked each of these ways too, and 0 where it has not; the
# source tree is then built without it as well.
#
# Usage: consumers.sh SOURCE-DIR BUILD-DIR SCRATCH-DIR LIBDIR VERSION CXX CXXFLAGS GENERATOR CAPTURE
set -euo pipefail
source_dir=$1 build_dir=$2 scratch=$3 libdir=$4 version=$5 cxx=$6 cxxflags=$7 generator=$8 capture=$9
throw_sites=$( ((capture)) && echo ON || echo OFF)
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
expected="bin/stdexception-symbolize
include/StdException/BasicException
include/StdException/BuildConfig
include/StdException/Format
include/StdException/Guard
include/StdException/Journal
include/StdException/Reports
include/StdException/StdException
include/StdException/Strategies
include/StdException/ThrowSite
$libdir/cmake/StdException/StdExceptionConfig.cmake
$libdir/cmake/StdException/StdExceptionConfigVersion.cmake
$libdir/cmake/StdException/StdExceptionHelpers.cmake
$libdir/cmake/StdException/StdExceptionTargets-CONFIG.cmake
$libdir/cmake/StdException/StdExceptionTargets.cmake
$libdir/libStdException.so -> libStdException.so.${version%%.*}
$libdir/libStdException.so.${version%%.*} -> libStdException.so.$version
$libdir/libStdException.so.$version
$libdir/libStdExceptionThrowSites.so -> libStdExceptionThrowSites.so.${version%%.*}
$libdir/libStdExceptionThrowSites.so.${version%%.*} -> libStdExceptionThrowSites.so.$version
$libdir/libStdExceptionThrowSites.so.$version
$libdir/pkgconfig/StdException.pc
$libdir/pkgconfig/StdExceptionJournal.pc
$libdir/pkgconfig/StdExceptionThrowSites.pc"
((capture)) || expected=$(grep -v "ThrowSites\|stdexception-symbolize" <<< "$expected")
if [[ $installed != "$expected" ]]; then
    diff <(echo "$expected") <(echo "$installed") || true
    echo "the installed files differ from the expected ones (< expected, > installed)"
    exit 1
fi
((capture)) && quiet "$prefix/bin/stdexception-symbolize" --version

echo "== find_package(StdException 2 CONFIG REQUIRED)"
quiet cmake -S "$consumer" -B "$scratch/find-package" -G "$generator" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_PREFIX_PATH="$prefix"
grep -qx "StdException_DIR:PATH=$prefix/$libdir/cmake/StdException" \
    "$scratch/find-package/CMakeCache.txt" || { echo "found a package other than the installed one"; exit 1; }
quiet cmake --build "$scratch/find-package"
"$scratch/find-package/consumer"

if ((capture)); then
    echo "== capture: Quorbel::ThrowSites linked under --as-needed, then LD_PRELOAD"
    quiet cmake -S "$consumer" -B "$scratch/capture" -G "$generator" -DCONSUMER_CAPTURE=ON \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_EXE_LINKER_FLAGS=-Wl,--as-needed
    quiet cmake --build "$scratch/capture"
    CONSUMER_EXPECTS_CAPTURE=1 "$scratch/capture/consumer" > /dev/null
    preload=$prefix/$libdir/libStdExceptionThrowSites.so.${version%%.*}
    [[ -z ${STDEXCEPTION_PRELOAD_FIRST:-} ]] || preload=$STDEXCEPTION_PRELOAD_FIRST:$preload
    CONSUMER_EXPECTS_CAPTURE=1 LD_PRELOAD=$preload "$scratch/find-package/consumer" > /dev/null
fi

echo "== add_subdirectory of the source tree"
quiet cmake -S "$consumer" -B "$scratch/subdirectory" -G "$generator" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" -DSTDEXCEPTION_SOURCE_DIR="$source_dir" \
    -DSTDEXCEPTION_THROW_SITES="$throw_sites"
quiet cmake --build "$scratch/subdirectory" -j 2
"$scratch/subdirectory/consumer"

echo "== FetchContent from a git repository of the source tree"
repository=$scratch/repository
mkdir -p "$repository"
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$repository" -xf -
quiet git -C "$repository" init
quiet git -C "$repository" add -A
quiet git -C "$repository" -c user.name=consumers -c user.email=consumers@localhost commit -m tree
quiet git -C "$repository" tag "v$version"
quiet cmake -S "$consumer" -B "$scratch/fetch" -G "$generator" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" -DSTDEXCEPTION_GIT_REPOSITORY="$repository" \
    -DSTDEXCEPTION_THROW_SITES="$throw_sites"
quiet cmake --build "$scratch/fetch" -j 2
"$scratch/fetch/consumer"

echo "== pkg-config --cflags --libs StdException, copied and linked into other directories"
mkdir -p "$scratch/pkgconfig-copy" "$scratch/pkgconfig-link"
cp "$prefix/$libdir/pkgconfig/StdException.pc" "$scratch/pkgconfig-copy"
ln -s "$prefix/$libdir/pkgconfig/StdException.pc" "$scratch/pkgconfig-link"
for way in copy link; do
    export PKG_CONFIG_PATH=$scratch/pkgconfig-$way
    found="$(pkg-config --modversion StdException) $(pkg-config --cflags --libs StdException)"
    if [[ ${found% } != "$version -I$prefix/include -L$prefix/$libdir -lStdException" ]]; then
        echo "pkg-config, through a $way of StdException.pc: $found"
        exit 1
    fi
done
flags=$(pkg-config --cflags --libs StdException)
# shellcheck disable=SC2086  # the flags are meant to split into words
quiet "$cxx" $cxxflags -std=c++11 -Wall -Wextra -Wpedantic -Werror "-fmacro-prefix-map=$consumer/=" \
    "$consumer/Consumer.cpp" $flags -Wl,-rpath,"$(pkg-config --variable=libdir StdException)" \
    -o "$scratch/pkg-config-consumer"
"$scratch/pkg-config-consumer"
# StdExceptionThrowSites alone, which requires StdException: the capture
# library kept under --as-needed, and the core library that Consumer.cpp calls.
if ((capture)); then
    # shellcheck disable=SC2046,SC2086  # the flags are meant to split into words
    quiet "$cxx" $cxxflags -std=c++11 "-fmacro-prefix-map=$consumer/=" -Wl,--as-needed "$consumer/Consumer.cpp" \
        $(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --cflags --libs StdExceptionThrowSites) \
        -Wl,-rpath,"$prefix/$libdir" -o "$scratch/pkg-config-capture"
    CONSUMER_EXPECTS_CAPTURE=1 "$scratch/pkg-config-capture" > /dev/null
fi

echo "== the application of README.md, built the same way"
source "$source_dir/tests/packaging/readme-app.sh"
readme_app "$source_dir/README.md" "$scratch/app.cpp"
# shellcheck disable=SC2086
quiet "$cxx" $cxxflags -std=c++11 -Wall -Wextra -Wpedantic -Werror "$scratch/app.cpp" $flags \
    -Wl,-rpath,"$(pkg-config --variable=libdir StdException)" -o "$scratch/app"
check_readme_app "$scratch/app"

echo "== the application of README.md, built by Meson: dependency('StdException')"
mkdir -p "$scratch/meson-source"
cp "$source_dir/tests/meson-consumer/meson.build" "$scratch/app.cpp" "$scratch/meson-source"
quiet env CXX="$cxx" CXXFLAGS="$cxxflags" PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" \
    meson setup "$scratch/meson" "$scratch/meson-source"
quiet meson compile -C "$scratch/meson"
check_readme_app "$scratch/meson/app"
# (grep reads all of ldd's output: an early exit would fail the pipe.)
loads=$(ldd "$scratch/meson/app" | grep -c "libStdExceptionThrowSites[.]so" || true)
((loads == capture)) || { echo "the Meson application loads the capture library $loads times, not $capture"; exit 1; }
