#!/usr/bin/env bash
# Fails, naming the files, when a C++ file of the project differs from what
# clang-format makes of it with the project's .clang-format. With --fix it
# formats them in place instead.
#
#   tests/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
    "" | --fix) ;;
    -h | --help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "check-format.sh: unknown option '$1'" >&2; exit 2 ;;
esac

# The C++ files: sources and headers by their ending, and the library's
# public headers, which have none.
mapfile -t files < <(git ls-files -co --exclude-standard -- '*.cpp' '*.h' |
    cat - <(git ls-files -co --exclude-standard -- 'common/StdException/*' | grep -E '/[A-Za-z]+$') |
    sort -u)

if [ "${1:-}" = --fix ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
unformatted=()
for file in "${files[@]}"; do
    clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if ((${#unformatted[@]})); then
    echo "these files differ from what clang-format makes of them (tests/check-format.sh --fix):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
fi
echo "all ${#files[@]} C++ files are formatted"
