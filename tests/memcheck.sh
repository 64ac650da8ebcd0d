#!/usr/bin/env bash
# Runs the plain test suite under valgrind's memcheck: any memory error, and
# any block definitely or indirectly lost, fails the test that caused it.
#
#   cmake --workflow --preset test && tests/memcheck.sh [BUILD-DIR]
#
# BUILD-DIR defaults to build/default. It takes about two minutes, two tests
# at a time.
# The allocation-failure sweep replaces the global operator new; valgrind would
# bypass that replacement without --soname-synonyms=somalloc=nouserintercepts,
# which keeps the sweep's own allocator in charge (valgrind still watches the
# malloc and free beneath it). The demo and packaging tests are left out:
# their commands are cmake and compilers, which valgrind would check instead
# of the library; so are the journal tests (label journal), which start a
# systemd-journald of their own and under valgrind found it refusing their
# entries (the tests job and the sanitizer jobs run them), and the shell scripts
# (label script), where valgrind would check bash. So are the runs of the
# same tests again in other programs or settings, whose code valgrind has
# checked in the first run: the capture library preloaded or beside a static
# libstdc++ (it is checked linked), and under a locale that groups digits.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
options="--error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect"
options+=" --soname-synonyms=somalloc=nouserintercepts"
exec ctest --test-dir "$build" --output-on-failure -j 2 \
    -E '^(demo|packaging|preloaded|static-libstdc[+][+]|static-libgcc|grouping)[.]' \
    -LE '^(journal|script)$' -T memcheck \
    --overwrite "MemoryCheckCommand=$(command -v valgrind)" \
    --overwrite "MemoryCheckCommandOptions=$options"
