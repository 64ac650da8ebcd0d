#!/usr/bin/env bash
# Checks that the built library exports exactly the symbols of namespace
# Quorbel listed in EXPECTED (demangled, std::string and std::ostream written
# as such, and libc++'s std::__1:: as std::): every public class with its virtual table and type information,
# the operations of those classes and the two free operator<<, and nothing of
# the helpers. The names held by the type information are left out of the
# comparison, since a DLL does not export them.
#
# A shared object is read with nm and readelf. It exports nothing outside the
# namespace (its linker version script hides the weak instantiations of
# standard-library templates) and holds no STB_GNU_UNIQUE symbol, which would
# keep it from ever being unloaded. A DLL is read through the export table
# that objdump -p prints.
#
# Usage: check-exports.sh LIBRARY EXPECTED [OBJDUMP]
set -euo pipefail
library=$1 expected=$2 objdump=${3:-objdump}

normalize() {
    sed -e 's/std::__1::/std::/g' \
        -e 's/std::\(__cxx11::\)\{0,1\}basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g' \
        -e 's/std::basic_ostream<char, std::char_traits<char> >/std::ostream/g' \
        -e 's/\[abi:cxx11\]//g' -e '/^typeinfo name for /d' | LC_ALL=C sort -u
}

status=0
if [[ $(od -An -tx1 -N4 "$library") == " 7f 45 4c 46" ]]; then
    # nm -C prints "address type name"; keep "type name".
    symbols=$(nm -D --defined-only -C "$library" | sed -E 's/^[0-9a-f]* //')
    exported=$(grep Quorbel <<< "$symbols" | cut -d' ' -f2- | normalize)
    if others=$(grep -v Quorbel <<< "$symbols"); then
        echo "exported symbols outside namespace Quorbel:"
        echo "$others"
        status=1
    fi
    if unique=$(readelf --dyn-syms -W "$library" | grep -w UNIQUE); then
        echo "STB_GNU_UNIQUE symbols, which keep the library from unloading:"
        echo "$unique"
        status=1
    fi
else
    # The export table lists one "[ordinal] name" line per exported symbol.
    exported=$("$objdump" -p "$library" |
        sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' |
        c++filt | normalize)
fi

listed=$(grep -v '^#' "$expected" | grep . | LC_ALL=C sort -u)
if [[ $exported != "$listed" ]]; then
    echo "exports of namespace Quorbel differ from $expected (< missing, > unexpected):"
    diff <(echo "$listed") <(echo "$exported") | grep '^[<>]' || true
    status=1
fi
[[ $status == 0 ]] && echo "exports: $(wc -l <<< "$exported") symbols of namespace Quorbel, as listed"
exit $status
