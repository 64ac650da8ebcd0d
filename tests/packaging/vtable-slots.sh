#!/usr/bin/env bash
# Checks the order of the virtual operations of StdException and
# CReportingStrategy, as applications compiled against the headers lay out
# their virtual tables: g++ dumps the class layout of VtableSlots.cpp, whose
# classes override every virtual operation, and each table must list exactly
# these slots (the destructor takes two, the complete and the deleting one).
#
# Usage: vtable-slots.sh GXX INCLUDE-DIR VTABLESLOTS-CPP SCRATCH-DIR
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
check ExceptionSlots "~ExceptionSlots ~ExceptionSlots clone AsString AsXML TypeName DisplayValue"
check StrategySlots "~StrategySlots ~StrategySlots clone Report Print"
exit $status
