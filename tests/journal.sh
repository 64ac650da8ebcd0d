#!/usr/bin/env bash
# Runs the journal tests against a real systemd-journald. Where a journal
# runs, against that one. Where none runs, the script starts a journald of its
# own (as root), with rate limiting off, where /run and /etc/systemd are file
# systems in memory in a mount namespace of its own: its sockets, its journal
# and its configuration go when the tests end, and no other program ever sees
# them. Then it also runs the test of a registered strategy without a journal,
# once before journald starts (no socket: -ENOENT) and once after it stopped
# (a socket that nothing reads: -ECONNREFUSED). Exits 77 (skipped) where no
# journal can run.
#
#   journal.sh TEST-PROGRAM
#
# (The script runs itself again inside the namespace, with --inside.)
set -u
program=$1
journald=/lib/systemd/systemd-journald
without=JournalTest.WithoutAJournalTheRegisteredStrategySaysWhy

if [[ ${2:-} != --inside ]]; then
    [[ -S /run/systemd/journal/socket ]] && exec "$program" --gtest_filter=-$without
    if [[ ! -x $journald ]]; then
        echo "skipped: no journal runs, and no $journald"
        exit 77
    fi
    if ! unshare --mount true 2> /dev/null; then
        echo "skipped: no journal runs, and no mount namespace for one of the tests' own"
        exit 77
    fi
    exec unshare --mount --propagation private bash "$0" "$program" --inside
fi

mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /etc/systemd || exit 1
STDEXCEPTION_JOURNAL_ERROR=-2 "$program" --gtest_filter=$without || exit 1

printf '[Journal]\nRateLimitIntervalSec=0\nStorage=volatile\n' > /etc/systemd/journald.conf
setpriv --pdeathsig TERM "$journald" &  # ends with the tests, should they be killed
pid=$!
for ((i = 0; i < 100; ++i)); do
    [[ -S /run/systemd/journal/socket ]] && break
    sleep 0.05
done
[[ -S /run/systemd/journal/socket ]] || { echo "systemd-journald did not start"; exit 1; }
"$program" --gtest_filter=-$without
status=$?
kill $pid
wait $pid

STDEXCEPTION_JOURNAL_ERROR=-111 "$program" --gtest_filter=$without || exit 1
exit $status
