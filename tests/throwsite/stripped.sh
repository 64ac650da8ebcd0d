#!/usr/bin/env bash
# A stripped program's frames name places that resolve later: each frame's
# offset in the program, given to eu-addr2line against the unstripped copy,
# is the function that the unstripped program reports there; the build ID is
# the program's; and given its debugging information in a directory of its
# own (--debug-dir, which hands it to SetDebugFileDirectories, looked up by
# build ID or by .gnu_debuglink), the stripped program reports the frames of
# the unstripped one.
#
#   stripped.sh DEMO   (the demo program, built with -g and the capture library)
set -euo pipefail
demo=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

id=$(eu-readelf -n "$demo" | sed -n 's/^ *Build ID: *\([0-9a-f]*\)$/\1/p')
[[ -n $id ]] || { echo "no build ID in $demo"; exit 1; }
mkdir -p "$dir/by-id/.build-id/${id:0:2}" "$dir/by-name"
cp "$demo" "$dir/full"
strip --strip-all -o "$dir/stripped" "$demo"
objcopy --only-keep-debug "$demo" "$dir/by-id/.build-id/${id:0:2}/${id:2}.debug"
objcopy --only-keep-debug "$demo" "$dir/by-name/full.debug"
objcopy --add-gnu-debuglink="$dir/by-name/full.debug" "$dir/stripped" "$dir/linked"

# frames PROGRAM [OPTION...]: the frames of its JSON report, one a line, with
# the program's own path written "PROGRAM".
frames() {
    local program=$1
    shift
    "$dir/$program" --format json "$@" 2>/dev/null | grep -o \
        '"module":"[^"]*","offset":"[^"]*","buildId":"[^"]*","function":"[^"]*","file":"[^"]*","line":[0-9]*' |
        sed "s|\"module\":\"$dir/$program\"|\"module\":\"PROGRAM\"|" || true
}
frames full >"$dir/full.txt"
frames stripped >"$dir/stripped.txt"
status=0
fail() {
    echo "$*"
    status=1
}

# Without debugging information: the program's frames have offsets, its
# build ID, no file and no line. The unstripped copy resolves each offset (the
# call is the instruction before it) to the function reported there (its name
# without scope and arguments) and to the file and line reported there.
grep -q '"module":"PROGRAM"' "$dir/stripped.txt" || fail "no frame of the stripped program"
while IFS= read -r frame; do
    offset=$(sed 's/.*"offset":"\(0x[0-9a-f]*\)".*/\1/' <<<"$frame")
    [[ $frame == *"\"buildId\":\"$id\",\"function\":\""*"\",\"file\":\"\",\"line\":0" ]] ||
        fail "stripped frame with a line or another build ID: $frame"
    reported=$(grep -m1 "\"module\":\"PROGRAM\",\"offset\":\"$offset\"" "$dir/full.txt" |
        sed 's/.*"function":"\([^"]*\)","file":"\([^"]*\)","line":\([0-9]*\)$/\1 \2:\3/')
    resolved=$(eu-addr2line -e "$dir/full" -C -f "$(printf '0x%x' $((offset - 1)))")
    # (A return type that clang++ mangles, "decltype (...) ", goes first.)
    name=$(head -n 1 <<<"$resolved" | sed -E 's/^decltype \(([^()]|\([^()]*\))*\) //; s/[<(].*//')
    place=$(sed -n '2{s/^??:0$/:0/; s/^\(.*:[0-9]*\):[0-9]*$/\1/; p}' <<<"$resolved")
    # (clang++ names some files as /usr/bin/../lib/gcc/..., which the report writes without the "..")
    [[ $place != /* ]] || place="$(realpath -m -s "${place%:*}"):${place##*:}"
    [[ -n $name && $reported == *"$name"[\(\<]*" $place" || $reported == "$name $place" ]] ||
        fail "offset $offset: eu-addr2line says '$name' at '$place', the unstripped program '$reported'"
done < <(grep '"module":"PROGRAM"' "$dir/stripped.txt")

# The readable report names such frames by module and offset.
"$dir/stripped" --format readable >"$dir/readable.txt" || true
grep -Eq "^ *#[0-9]+ $dir/stripped[+]0x[0-9a-f]+\$" "$dir/readable.txt" ||
    fail "no frame written as module+offset in the stripped program's readable report"
# It leaves out the frames that start the program, as the unstripped one does.
"$dir/full" --format readable >"$dir/full-readable.txt" || true
[[ $(grep -c '^ *#' "$dir/readable.txt") == $(grep -c '^ *#' "$dir/full-readable.txt") ]] ||
    fail "the stripped program's readable report has other frames: $(cat "$dir/readable.txt")"

# With its debugging information in an application's directory, by build ID
# and by debug link, the stripped program reports what the unstripped one does.
frames stripped --debug-dir "$dir/by-id" >"$dir/by-id.txt"
frames linked --debug-dir "$dir/by-name" >"$dir/by-name.txt"
for found in by-id by-name; do
    diff "$dir/full.txt" "$dir/$found.txt" || fail "frames differ with the debugging information $found"
done
exit $status
