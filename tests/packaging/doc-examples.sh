#!/usr/bin/env bash
# Compiles the complete examples of the documentation, so that none of them
# goes wrong unnoticed: every C++ block of README.md that holds a main
# function, compiled and linked against the library, and every comment
# example of a public header whose introduction calls it complete ("...,
# which the packaging tests compile):"), compiled after the includes of the
# public headers. All as C++11, with every warning an error, and FLAGS.
#
# Usage: doc-examples.sh SOURCE-DIR LIBRARY SCRATCH-DIR COMPILER [FLAGS]
set -euo pipefail
source_dir=$1 library=$2 scratch=$3 compiler=$4 flags=${5:-}
rm -rf "$scratch"
mkdir -p "$scratch"

# The README's blocks, indented as they stand in a list or not.
awk -v dir="$scratch" '
    match($0, /^ *```cpp$/) { block = 1; indent = RLENGTH - 6; text = ""; next }
    block && /^ *```$/ {
        block = 0
        if (text ~ /int main\(/) { file = dir "/README-" ++n ".cpp"; printf "%s", text > file; close(file) }
        next
    }
    block { text = text substr($0, indent + 1) "\n" }' "$source_dir/README.md"

# The headers' examples: the lines "//   code" and "//" after the introduction.
for header in "$source_dir"/common/StdException/*; do
    [[ $(basename "$header") != *.* ]] || continue  # the public headers have no extension
    awk -v stem="$scratch/$(basename "$header")" '
        function flush() { if (block) { printf "%s", text > (stem "-" n ".cpp"); close(stem "-" n ".cpp") } block = 0 }
        block && /^\/\/$/ { text = text "\n"; next }
        block && /^\/\/   / { text = text substr($0, 6) "\n"; next }
        { flush() }
        /packaging tests compile\):$/ {
            block = 1; n++
            text = "#include <StdException/BasicException>\n#include <StdException/Guard>\n" \
                   "#include <StdException/Reports>\n#include <StdException/Strategies>\n" \
                   "#include <StdException/ThrowSite>\n\n#include <cstdint>\n#include <string>\n\n"
        }
        END { flush() }' "$header"
done

status=0 count=0
for example in "$scratch"/*.cpp; do
    [[ -e $example ]] || break
    count=$((count + 1))
    if [[ $(basename "$example") == README-* ]]; then
        link=("$library" -o "${example%.cpp}")  # a program, linked
    else
        link=(-c -o "${example%.cpp}.o")  # a function, compiled
    fi
    # shellcheck disable=SC2086  # the flags are meant to split into words
    if ! "$compiler" $flags -std=c++11 -Wall -Wextra -Wpedantic -Werror \
        "-I$source_dir/common" "$example" "${link[@]}"; then
        echo "$example: the example above does not compile"
        cat -n "$example"
        status=1
    fi
done
if ((count < 6)); then
    echo "found $count complete examples in README.md and the headers, fewer than the 6 there are"
    status=1
fi
[[ $status == 0 ]] && echo "doc examples: $count complete examples compile"
exit $status
