#!/usr/bin/env bash
# Writes a log of JSON reports as a stripped program's capture library writes
# them, for timing stdexception-symbolize: REPORTS reports (10,000 unless
# given) of 20 frames each, 4 from each of the MODULEs given, at offsets just
# inside their functions, drawn from 200 functions of each module, with the
# modules' paths and build IDs, function, file and line empty.
#
#   bench/symbolize-input.sh [-n REPORTS] MODULE... > input.log
#   time stdexception-symbolize input.log > /dev/null
set -euo pipefail
reports=10000
if [[ ${1-} == -n ]]; then
    reports=$2
    shift 2
fi
(($# > 0)) || { echo "usage: $0 [-n REPORTS] MODULE..." >&2; exit 2; }
m=0
for module in "$@"; do
    id=$(eu-readelf -n "$module" | sed -n 's/^ *Build ID: *\([0-9a-f]*\)$/\1/p')
    [[ -n $id ]] || { echo "$module: no build ID" >&2; exit 1; }
    path=$(realpath "$module")
    # "module path id offset address": 200 functions of at least 16 bytes,
    # 4 bytes in, the module loaded at 0x7f0m00000000; from the symbol table,
    # or of a stripped module its dynamic symbols.
    symbols=$(nm --defined-only -S "$module" 2>/dev/null || true)
    [[ -n $symbols ]] || symbols=$(nm --defined-only -S -D "$module")
    n=0
    while read -r value size type _ && ((n < 200)); do
        [[ $type == [tT] && -n $size ]] && ((0x$size >= 16)) || continue
        printf '%d %s %s 0x%x 0x7f%x%08x\n' $m "$path" "$id" $((0x$value + 4)) $m $((0x$value + 4))
        n=$((n + 1))
    done <<<"$symbols"
    ((n > 0)) || { echo "$module: no functions" >&2; exit 1; }
    m=$((m + 1))
done | awk -v reports="$reports" -v modules=$# '
    { n = count[$1]++; path[$1, n] = $2; id[$1, n] = $3; offset[$1, n] = $4; address[$1, n] = $5 }
    END {
        srand(1)
        for (r = 0; r < reports; r++) {
            printf "{\"name\":\"SettingsException\",\"value\":\"report %d\",\"callTrace\":[{\"position\":0," \
                "\"file\":\"src/settings.cpp\",\"line\":42,\"funcsig\":\"void Load()\",\"parameters\":\"\"," \
                "\"comment\":\"\"}],\"throwSite\":[", r
            for (f = 0; f < 20; f++) {
                m = int(f / 4) % modules  # 4 frames of each module in turn
                i = int(rand() * count[m])
                printf "%s{\"address\":\"%s\",\"module\":\"%s\",\"offset\":\"%s\",\"buildId\":\"%s\"," \
                    "\"function\":\"\",\"file\":\"\",\"line\":0,\"inlined\":false}", \
                    f ? "," : "", address[m, i], path[m, i], offset[m, i], id[m, i]
            }
            print "]}"
        }
    }'
