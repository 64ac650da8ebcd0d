#!/bin/sh
# Runs a Windows program under Wine; the emulator of the MinGW-w64 toolchains,
# through which CTest starts the test programs. ARCH is win32 or win64: the
# Wine prefix and the loader are those of 32-bit or of 64-bit Wine. The
# program finds the MinGW runtime DLLs through WINEPATH, in the folders given
# before "--".
#
# The prefix gets a persistent wineserver, and whenever that server is new,
# wineboot starts the prefix's background services before the program runs
# (on the first run it also creates the prefix), all with their output sent
# to /dev/null. Otherwise the first program would start those services
# itself, and they would keep its standard output and error open long after
# it ended, so CTest would wait for them until the server was killed.
#
# Debian's wine and wineboot commands pick the 32-bit loader whenever 32-bit
# Wine is installed, also for a 64-bit prefix, so the script calls the
# loader of ARCH itself (wine or wine64, from the PATH or from /usr/lib/wine).
#
# Some kernels are built or booted without support for 32-bit x86 programs,
# and 32-bit Wine is one. There the script says so and exits with 77, which
# the tests take as skipped. "wine.sh ARCH --check" only tells, by its exit
# status, whether this machine runs the programs of ARCH; "wine.sh ARCH
# --stop" stops the prefix's wineserver.
#
# Usage: wine.sh ARCH RUNTIME-DIR... -- PROGRAM [ARGUMENT...]
#        wine.sh ARCH --check | --stop
set -eu

arch=$1
shift
case $arch in
    win32) bits=32 loader=wine ;;
    win64) bits=64 loader=wine64 ;;
    *)
        echo "wine.sh: unknown architecture '$arch' (win32 or win64)" >&2
        exit 2
        ;;
esac
loader=$(command -v $loader || echo /usr/lib/wine/$loader)
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEARCH=$arch WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/stdexception/wine$bits}"

# runs_programs: whether this machine runs programs of ARCH. A 64-bit build
# host runs 64-bit ones; for 32-bit ones it tries a tiny program that only
# exits.
runs_programs() {
    [ $bits = 64 ] && return
    probe=$(mktemp -d)
    status=0
    printf '.globl _start\n_start: movl $1, %%eax\nxorl %%ebx, %%ebx\nint $0x80\n' |
        as --32 -o "$probe/exit.o" - && ld -m elf_i386 -o "$probe/exit" "$probe/exit.o" &&
        "$probe/exit" 2> /dev/null || status=$?
    rm -rf "$probe"
    return $status
}

case ${1-} in
    --check)
        runs_programs
        exit
        ;;
    --stop)
        "$server" -k 2> /dev/null || true
        exit
        ;;
esac

winepath=
while [ "$1" != -- ]; do
    winepath=${winepath:+$winepath;}$1
    shift
done
shift
export WINEPATH="$winepath"

if ! runs_programs; then
    echo "skipped: this machine's kernel does not run 32-bit x86 programs, so 32-bit Wine cannot run $1"
    exit 77
fi
if ! "$loader" --version > /dev/null 2>&1; then
    case $arch in
        win32) echo "wine.sh: 32-bit Wine is not installed (Debian: wine, and wine32:i386)" >&2 ;;
        win64) echo "wine.sh: 64-bit Wine is not installed (Debian: wine64)" >&2 ;;
    esac
    exit 1
fi

mkdir -p "$WINEPREFIX"
(
    flock 9
    # The server, the services and wineboot outlive this block: they must not
    # hold the lock. "wineserver -p" exits with 2 when the prefix's server is
    # running already.
    started=0
    "$server" -p > /dev/null 2>&1 < /dev/null 9>&- || started=$?
    if [ ! -f "$WINEPREFIX/.wine$bits.ready" ]; then
        if "$loader" wineboot -i > /dev/null 2>&1 < /dev/null 9>&-; then
            touch "$WINEPREFIX/.wine$bits.ready"
        else
            echo "wine.sh: wineboot -i failed; Wine sets up the prefix on its next start" >&2
        fi
    elif [ $started != 2 ]; then
        "$loader" wineboot > /dev/null 2>&1 < /dev/null 9>&- || true
    fi
) 9> "$WINEPREFIX/.wine$bits.lock"

exec "$loader" "$@"
