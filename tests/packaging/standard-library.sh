#!/usr/bin/env bash
# The chief header refuses a program compiled with the other C++ standard
# library than the library's, naming both: a one-line program that includes
# it compiles with the library's own standard library and fails with the
# other one, with the message of the #error. Both by clang++, which takes
# either (-stdlib=libstdc++ or -stdlib=libc++); exits with 77 (skipped) where
# the other one is not installed.
#
# Usage: standard-library.sh CLANGXX BUILT-WITH INCLUDE-DIR...
#   BUILT-WITH: libstdc++ or libc++, what the library was built with
set -euo pipefail
clangxx=$1 built_with=$2
shift 2
includes=()
for dir in "$@"; do includes+=("-I$dir"); done

case $built_with in
    libstdc++) other=libc++ own_name="libstdc++ (GNU)" other_name="libc++ (LLVM)" ;;
    libc++) other=libstdc++ own_name="libc++ (LLVM)" other_name="libstdc++ (GNU)" ;;
    *) echo "standard-library.sh: BUILT-WITH is '$built_with', not libstdc++ or libc++" >&2; exit 2 ;;
esac

# compile LIBRARY: compiles the one-line program with that standard library.
compile() {
    echo '#include <StdException/StdException>' |
        "$clangxx" "-stdlib=$1" -std=c++11 -fsyntax-only -x c++ "${includes[@]}" - 2>&1
}

if ! echo '#include <cstddef>' | "$clangxx" "-stdlib=$other" -fsyntax-only -x c++ - 2>/dev/null; then
    echo "skipped: $clangxx finds no $other to compile with"
    exit 77
fi
compile "$built_with" || { echo "with $built_with, which the library was built with, it does not compile"; exit 1; }
expected="StdException was built with $own_name; this program is compiled with $other_name: build both with the same standard library"
if output=$(compile "$other"); then
    echo "with $other it compiles, yet the library was built with $built_with"
    exit 1
fi
if ! grep -qF "\"$expected\"" <<<"$output"; then
    echo "$output"
    echo "with $other it fails, but not with the #error: $expected"
    exit 1
fi
echo "with $other: $expected"
