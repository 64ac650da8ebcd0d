#!/bin/sh
# Runs a 32-bit Windows program under Wine; the emulator of the
# i686-w64-mingw32 toolchain, through which CTest starts the test programs.
#
# The first run creates the Wine prefix and starts a persistent wineserver
# with Wine's background services, all with their output sent to /dev/null:
# otherwise every program would wait seconds for those services, which would
# also hold CTest's output pipes open. The program finds the MinGW runtime
# DLLs through WINEPATH, in the folders given before "--".
#
# Some kernels are built or booted without support for 32-bit x86 programs,
# and 32-bit Wine is one. There the script says so and exits with 77, which
# the tests take as skipped. "wine32.sh --check" only tells, by its exit
# status, whether this machine runs 32-bit programs.
#
# Usage: wine32.sh RUNTIME-DIR... -- PROGRAM [ARGUMENT...]
#        wine32.sh --check
set -eu

# runs_32_bit_programs: tries a tiny 32-bit program that only exits.
runs_32_bit_programs() {
    probe=$(mktemp -d)
    status=0
    printf '.globl _start\n_start: movl $1, %%eax\nxorl %%ebx, %%ebx\nint $0x80\n' |
        as --32 -o "$probe/exit.o" - && ld -m elf_i386 -o "$probe/exit" "$probe/exit.o" &&
        "$probe/exit" 2> /dev/null || status=$?
    rm -rf "$probe"
    return $status
}

if [ "$1" = --check ]; then
    runs_32_bit_programs
    exit
fi

winepath=
while [ "$1" != -- ]; do
    winepath=${winepath:+$winepath;}$1
    shift
done
shift

if ! runs_32_bit_programs; then
    echo "skipped: this machine's kernel does not run 32-bit x86 programs, so 32-bit Wine cannot run $1"
    exit 77
fi
if ! wine --version > /dev/null 2>&1; then
    echo "wine32.sh: 32-bit Wine is not installed (Debian: wine, and wine32:i386)" >&2
    exit 1
fi

export WINEARCH=win32 WINEDEBUG=-all WINEPATH="$winepath"
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/stdexception/wine32}"
mkdir -p "$WINEPREFIX"
(
    flock 9
    # The server and the services outlive this script: they must not hold
    # the lock.
    wineserver -p > /dev/null 2>&1 < /dev/null 9>&- || true
    if [ ! -f "$WINEPREFIX/.wine32.ready" ]; then
        if wineboot -i > /dev/null 2>&1 < /dev/null 9>&-; then
            touch "$WINEPREFIX/.wine32.ready"
        else
            echo "wine32.sh: wineboot -i failed; Wine sets up the prefix on its next start" >&2
        fi
    fi
) 9> "$WINEPREFIX/.wine32.lock"

exec wine "$@"
