#!/usr/bin/env bash
# stdexception-symbolize against a program built at -O2 -g: the reports of its
# stripped copy, put through the tool with its debug file in a build-ID tree,
# are the unstripped program's reports frame for frame (function, file, line,
# inlined calls), with every other byte as it came; so are its journal
# entries; bad lines are named and passed on among good ones; a missing debug
# file leaves the frames as they were; the command line as a GNU tool's.
#
#   symbolize.sh TOOL PROGRAM   (PROGRAM: the demo, linked with the capture library)
set -uo pipefail
tool=$1 program=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
status=0
fail() {
    echo "FAILED: $*"
    status=1
}
# same WHAT EXPECTED ACTUAL: the two files are equal.
same() {
    diff -u "$2" "$3" >"$dir/diff" || fail "$1: $(head -c 3000 "$dir/diff")"
}

id=$(eu-readelf -n "$program" | sed -n 's/^ *Build ID: *\([0-9a-f]*\)$/\1/p')
[[ -n $id ]] || { echo "no build ID in $program"; exit 1; }
mkdir -p "debug/.build-id/${id:0:2}"
objcopy --only-keep-debug "$program" "debug/.build-id/${id:0:2}/${id:2}.debug"
cp "$program" full
strip --strip-all -o stripped "$program"

# reports NAME: the program's JSON reports at each detail level, one a line.
reports() {
    for detail in full medium low; do
        "./$1" --format json --detail "$detail" 2>/dev/null
    done
}
# normal FILE: the file with the return addresses (which differ from run to
# run) and the program's path made the same for both copies.
normal() {
    sed -e 's/"address":"0x[0-9a-f]*"/"address":"0x1"/g' -e "s|\"$dir/[a-z]*\"|\"PROGRAM\"|g" "$1"
}
reports full >full.log
reports stripped >stripped.log
grep -q '"inlined":true' full.log || fail "no inlined frame in the unstripped program's reports"
grep -q "\"buildId\":\"$id\",\"function\":\"[^\"]*\",\"file\":\"\"" stripped.log ||
    fail "no frame of the stripped program without a file"

# JSON Lines, from a file and from standard input, the debug file found by
# build ID beside a copy of the module (whose path the frames name), and with
# the module gone, where the debug file stands for it. DEBUGINFOD_URLS is
# never followed: its client would make its cache.
DEBUGINFOD_URLS=http://127.0.0.1:9/ DEBUGINFOD_CACHE_PATH=$dir/cache \
    "$tool" --debug-dir debug stripped.log >by-path.log 2>errors.txt || fail "status $? with its debug file"
same "the stripped program's reports through the tool" <(normal full.log) <(normal by-path.log)
[[ ! -e cache ]] || fail "a debuginfod client was used"
mv stripped gone
"$tool" --debug-dir="$dir/debug" <stripped.log >by-id.log 2>>errors.txt || fail "status $? from standard input"
same "the reports with the module gone" by-path.log by-id.log
mv gone stripped
same "standard error with every debug file there" /dev/null <(grep -v 'libstdc' errors.txt)

# A debug file kept from the symbol table alone (no DWARF) names the
# functions, as the program stripped of its debugging information alone does.
mkdir -p "symtab/.build-id/${id:0:2}"
objcopy --strip-debug "debug/.build-id/${id:0:2}/${id:2}.debug" "symtab/.build-id/${id:0:2}/${id:2}.debug"
strip --strip-debug -o symbols "$program"
reports symbols >symbols.log
"$tool" -d symtab stripped.log >by-symbols.log || fail "status $? with the symbol table"
same "the reports through the symbol table" <(normal symbols.log) <(normal by-symbols.log)

# The reports of the unstripped program come out as they went in, their
# inlined frames read again as one call; the readable report is AsReadable's.
"$tool" full.log >again.log || fail "status $? on the unstripped program's reports"
cmp -s full.log again.log || same "the unstripped program's reports read again" full.log again.log
./full --format readable 2>/dev/null | sed -e 's/format(readable)/format(json)/' -e '/^\[/d' >readable.txt
head -n 1 stripped.log | "$tool" --format readable -d debug | sed "s|$dir/stripped|$dir/full|" >readable-tool.txt
same "the readable report" readable.txt readable-tool.txt

# Journal entries as journalctl -o json --all writes them: the report is the
# string EXCEPTION_JSON (its quotes escaped as \" or as \u0022), or the array
# of its bytes that journalctl writes for a value that is not printable
# UTF-8; the output is the report; an entry of another kind writes nothing.
entry() {
    printf '{"__CURSOR":"s=1;i=%d","__REALTIME_TIMESTAMP":"1","PRIORITY":"3","EXCEPTION_JSON":%s}\n' "$1" "$2"
    echo '{"__CURSOR":"s=1;i=0","MESSAGE":"Started the service."}'
}
n=0
while IFS= read -r report; do
    n=$((n + 1))
    entry $n "\"$(sed 's/[\\"]/\\&/g' <<<"$report")\""
done <stripped.log >journal.json
entry 4 "\"$(sed -n 1p stripped.log | sed -e 's/\\/\\\\/g' -e 's/"/\\u0022/g')\"" >>journal.json
entry 5 "[$(sed -n 2p stripped.log | tr -d '\n' | od -An -v -tu1 | xargs | tr ' ' ',')]" >>journal.json
"$tool" -d debug journal.json >journal.log || fail "status $? on the journal"
same "the journal's reports through the tool" <(cat by-path.log; sed -n 1,2p by-path.log) journal.log

# Bad lines among good ones: each named with its input and line on standard
# error and written as it came; the good ones filled in; status 1.
{
    sed -n 1p stripped.log
    echo '{"name":"SettingsException","callTrace":['
    sed -n 2p stripped.log
    echo 'port = eighty'
    echo '{"__CURSOR":"s=1","EXCEPTION_JSON":null}'
    echo '[1,2]'
    echo '{"__CURSOR":"s=2","EXCEPTION_JSON":"{\"name\":1}"}'
    sed -n 3p stripped.log
} >mixed.log
"$tool" -d debug mixed.log no-such.log >mixed-out.log 2>mixed-errors.txt
[[ $? == 1 ]] || fail "status $? with bad lines, not 1"
{
    sed -n 1p by-path.log
    sed -n 2p mixed.log
    sed -n 2p by-path.log
    sed -n '4,7p' mixed.log
    sed -n 3p by-path.log
} >mixed-expected.log
same "the bad lines among good ones" mixed-expected.log mixed-out.log
cat >mixed-expected.txt <<'END'
stdexception-symbolize: mixed.log:2: not JSON: a value missing at the end of the line
stdexception-symbolize: mixed.log:4: not JSON: not a JSON value at byte 1
stdexception-symbolize: mixed.log:5: EXCEPTION_JSON is null (journalctl writes long values as null without --all)
stdexception-symbolize: mixed.log:6: not a report (no "name")
stdexception-symbolize: mixed.log:7: EXCEPTION_JSON: not a report (no "name")
stdexception-symbolize: no-such.log: No such file or directory
END
same "the messages of the bad lines" mixed-expected.txt mixed-errors.txt

# Without the debug file the frames stay as they were, and --verbose names
# the build ID that was missing, once.
"$tool" --verbose stripped.log >missing.log 2>missing.txt || fail "status $? without the debug file"
cmp -s stripped.log missing.log || same "the reports without the debug file" stripped.log missing.log
[[ $(grep -c "^stdexception-symbolize: no debugging information for build ID $id ($dir/stripped)\$" missing.txt) == 1 ]] ||
    fail "--verbose did not name the missing build ID once: $(cat missing.txt)"

# The command line: --help and --version on standard output with status 0, a
# bad option or value named on standard error with status 2.
"$tool" --help >help.txt 2>&1 && grep -q '^Usage: stdexception-symbolize \[OPTION\]... \[FILE\]...$' help.txt ||
    fail "--help: $(head -n 3 help.txt)"
"$tool" --version >version.txt 2>&1 && grep -Eq '^stdexception-symbolize \(StdException\) [0-9]+[.][0-9]+[.][0-9]+$' version.txt ||
    fail "--version: $(cat version.txt)"
for bad in --bogus "--format xml" --debug-dir; do
    # shellcheck disable=SC2086  # the option and its value are meant to split
    "$tool" $bad </dev/null >bad.out 2>bad.txt
    code=$?
    option=${bad%% *}
    [[ $code == 2 && ! -s bad.out ]] && grep -q -- "'\?${option#--}\|$option" bad.txt &&
        grep -q "^Try 'stdexception-symbolize --help' for more information.$" bad.txt ||
        fail "$bad: status $code, $(cat bad.txt)"
done
exit $status
