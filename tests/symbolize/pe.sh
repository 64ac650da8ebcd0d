#!/usr/bin/env bash
# stdexception-symbolize on the reports of a 64-bit Windows program: the
# Windows throw-site test, built at -O2 -g by MinGW-w64, writes the JSON
# reports of its throws under Wine; the tool, given the build's bin folder as
# a --debug-dir, fills in their frames through llvm-symbolizer. Each frame of
# the program must then carry the calls that MinGW-w64's addr2line reads at
# the same RVA, inlined ones included (file and line each, and the function
# of the throw), and every frame of a module without DWARF stays as it was.
#
#   pe.sh TOOL WIN64-BUILD-DIR     (run by .ci/run after the win64 tests)
set -euo pipefail
tool=$1 build=$(realpath "$2")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
command -v llvm-symbolizer > /dev/null || { echo "pe.sh: llvm-symbolizer is not installed (llvm)"; exit 1; }

# Wine, with the runtime DLLs' folders, as CTest runs the test programs.
runtime=()
for dll in libstdc++-6.dll libwinpthread-1.dll; do
    runtime+=("$(dirname "$(realpath "$(x86_64-w64-mingw32-g++-posix -print-file-name=$dll)")")")
done
STDEXCEPTION_EXPECT_CAPTURE=1 STDEXCEPTION_REPORTS=$dir/reports.jsonl \
    "$(dirname "$0")/../../cmake/wine.sh" win64 "${runtime[@]}" -- \
    "$build/bin/stdexception_throwsite_win.exe" --gtest_filter='*EachWay*' > "$dir/run.log" 2>&1 ||
    { cat "$dir/run.log"; exit 1; }
"$tool" --debug-dir "$build/bin" "$dir/reports.jsonl" > "$dir/symbolized.jsonl"

python3 - "$dir/reports.jsonl" "$dir/symbolized.jsonl" "$build/bin" <<'PYTHON'
import json, re, subprocess, sys

reports, symbolized, bin_dir = sys.argv[1:]
program = bin_dir + "/stdexception_throwsite_win.exe"
base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)",
                     subprocess.run(["x86_64-w64-mingw32-objdump", "-p", program],
                                    capture_output=True, text=True, check=True).stdout).group(1), 16)

def addr2line(offset):
    """The calls at the RVA before offset: (function, file, line), innermost first."""
    out = subprocess.run(["x86_64-w64-mingw32-addr2line", "-f", "-i", "-C", "-e", program,
                          hex(base + offset - 1)], capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    calls = []
    for function, place in zip(lines[0::2], lines[1::2]):
        file, _, line = re.sub(r" \(discriminator \d+\)$", "", place).rpartition(":")
        calls.append((function, "" if file == "??" else file, int(line) if line.isdigit() else 0))
    return calls

failures = 0
checked = 0
for before, after in zip(open(reports), open(symbolized)):
    before, after = json.loads(before), json.loads(after)
    rest = list(after["throwSite"])
    for frame in before["throwSite"]:
        if not frame["module"].endswith("stdexception_throwsite_win.exe"):
            if rest[0] != frame:
                print("changed a frame without DWARF:", frame, rest[0]); failures += 1
            rest.pop(0)
            continue
        calls = addr2line(int(frame["offset"], 16))
        if any(file == "" or line == 0 for _, file, line in calls):
            calls = [(frame["function"], "", 0)]
        got = [rest.pop(0) for _ in calls]
        if [(f["file"], f["line"]) for f in got] != [(c[1], c[2]) for c in calls] or \
           [f["inlined"] for f in got] != [True] * (len(calls) - 1) + [False] or \
           any(f["offset"] != frame["offset"] or f["address"] != frame["address"] for f in got):
            print("frame", frame["offset"], "is", got, "where addr2line reads", calls); failures += 1
        checked += 1
    if rest:
        print("frames left over:", rest); failures += 1
    if after["throwSite"][1]["function"] not in ("Inner()", "ThrowInt(int)", "std::__throw_invalid_argument(char const*)"):
        print("the second frame is", after["throwSite"][1]); failures += 1
if checked < 20:
    print("only", checked, "frames of the program were checked"); failures += 1
sys.exit(1 if failures else 0)
PYTHON
echo "pe.sh: the Windows program's frames are those that addr2line reads"
