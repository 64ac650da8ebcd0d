# shellcheck shell=bash
# The first application of README.md, for the scripts that build it against
# an installed library (sourced, not run).

# readme_app README OUTPUT: writes the first C++ block of the README's
# "Writing an application" section to OUTPUT.
readme_app() {
    awk '/^## / { section = ($0 == "## Writing an application") }
        section && /^```/ { if (block) exit; block = ($0 == "```cpp"); next }
        block' "$1" > "$2"
    if [[ ! -s $2 ]]; then
        echo "$1: no C++ block under \"## Writing an application\""
        return 1
    fi
}

# check_readme_app PROGRAM: runs the built application and checks what the
# README says it does: the text report of the ConfigException on standard
# output, the strategy's line on standard error, exit status 1.
check_readme_app() {
    local status=0 problem="port 'eighty' is not a number"
    "$1" > "$1.out" 2> "$1.err" || status=$?
    if [[ $status != 1 || $(head -n 1 "$1.out") != "$problem"$'\r' ||
          $(cat "$1.err") != "stderr strategy: ConfigException: $problem" ]]; then
        echo "$1, README.md's application: exit status $status, output:"
        cat "$1.out" "$1.err"
        return 1
    fi
}
