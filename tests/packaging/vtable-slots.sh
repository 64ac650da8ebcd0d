#!/usr/bin/env bash
# Checks the order of the virtual operations of StdException and
# CReportingStrategy, as applications compiled against the headers lay out
# their virtual tables: g++ dumps the class layout of a source that includes
# the public headers, and the tables of BadHandlerException and
# StreamReportingStrategy, which override every virtual operation of their
# base, must list exactly these slots in their base's order (the destructor
# takes two, the complete and the deleting one).
#
# Usage: vtable-slots.sh GXX INCLUDE-DIR SOURCE SCRATCH-DIR
set -euo pipefail
gxx=$1 include_dir=$2 source=$3 scratch=$4
mkdir -p "$scratch"
dump=$scratch/class-layout.txt
"$gxx" -std=c++11 -I"$include_dir" -fsyntax-only "-fdump-lang-class=$dump" "$source"

# slots CLASS: the operation names in the virtual table of CLASS, in order.
slots() {
    awk -v header="Vtable for $1" -v prefix="$1::" '
        $0 == header { inside = 1; next }
        inside && NF == 0 { exit }
        inside && index($NF, prefix) { n = split($NF, part, "::"); printf "%s ", part[n] }
    ' "$dump"
}

status=0
check() {
    local actual
    actual=$(slots "$1")
    if [[ "${actual% }" == "$2" ]]; then
        echo "$1: $2"
    else
        echo "$1: expected slots '$2', found '${actual% }'"
        status=1
    fi
}
check Quorbel::BadHandlerException "~BadHandlerException ~BadHandlerException clone AsString AsXML TypeName DisplayValue"
check Quorbel::StreamReportingStrategy "~StreamReportingStrategy ~StreamReportingStrategy clone Report Print"
exit $status
