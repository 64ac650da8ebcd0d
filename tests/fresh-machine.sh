#!/usr/bin/env bash
# Follows the README's quick start on a bare Debian 12 system, as a newcomer
# would: builds a fresh bookworm tree with mmdebstrap (Debian's packages only,
# nothing installed beyond apt), clones the committed tree into it and runs
# there, as root, every command of the README's "Quick start" section in
# order, then the release build and install of its "Install and link"
# section and the making and installing of the Debian packages of its
# "Debian and Ubuntu packages" section. A prerequisite missing from the
# README's line fails here instead of hiding behind a machine that happens to
# have it. The tests must pass with none failed, skipped (but two, see
# below) or not run. Then
# tests/packaging/installed-packages.sh builds the README's first application
# against the installed packages, and purges them; last, lintian (of this
# machine, which must have it) checks the packages.
#
# Usage (as root): tests/fresh-machine.sh [WORK-DIR]    default: build/fresh-machine
# Uncommitted changes are not tried: the tree is cloned from the last commit.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m "${1:-$source_dir/build/fresh-machine}")
tree=$work/bookworm

# readme_commands HEADING [first]: the lines of the shell blocks in the
# README section under this heading, up to the next heading of any level
# (with "first", of its first block only), one command a line.
readme_commands() {
    awk -v heading="$1" -v first="${2-}" '/^```/ { fenced = !fenced }
        !fenced && /^#+ / { section = ($0 == heading) }
        section && /^```/ { if (block && first) exit; block = !block && $0 == "```sh"; next }
        section && block && NF' "$source_dir/README.md"
}
commands=$(readme_commands "## Quick start"; readme_commands "## Install and link" first
    readme_commands "### Debian and Ubuntu packages" first)
if (($(wc -l <<< "$commands") < 7)); then
    echo "README.md: the quick start, the install or the package commands were not found"
    exit 1
fi
command -v lintian > /dev/null || { echo "$0: lintian is not installed"; exit 1; }

# --one-file-system: should a tree left over from an interrupted run still
# have /proc or /sys mounted, rm stays out of them (and fails: unmount them).
rm -rf --one-file-system "$work"
mkdir -p "$work"
{
    echo "set -euxo pipefail"
    echo "cd /root/StdException"
    echo "$commands"
    echo "bash tests/packaging/installed-packages.sh /root/StdException /root/installed-packages"
} > "$work/readme-commands.sh"
echo "== the README's commands on a fresh Debian 12 tree:"
echo "$commands"

# The hooks run while mmdebstrap has /dev, /proc and /sys mounted in the
# tree. The commands run as on a new machine: root, a plain environment, no
# terminal (so apt asks no questions).
# shellcheck disable=SC2016  # "$1", the tree, is for the hook's shell to expand
mmdebstrap --variant=apt \
    --customize-hook="git clone --quiet --no-hardlinks '$source_dir' \"\$1/root/StdException\"" \
    --customize-hook="copy-in '$work/readme-commands.sh' /root" \
    --customize-hook='chroot "$1" /usr/bin/env -i HOME=/root TERM=dumb DEBIAN_FRONTEND=noninteractive \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash /root/readme-commands.sh < /dev/null' \
    bookworm "$tree" 2>&1 | tee "$work/log"

# CTest lists skipped tests under this heading; failed and not-run tests have
# already failed the run. Two may be skipped: the journal tests, which need a
# systemd-journald, which they start themselves where none runs, but which
# did not start inside this tree, and the check that the headers refuse the
# other standard library, which needs libc++ (not among the prerequisites);
# the tests job runs both on the machine.
skipped=$(sed -n '/The following tests did not run:/,/^[^\t]/p' "$work/log" | grep -P '^\t' |
    grep -v -E -- ' - (JournalTest|packaging[.]standard-library) ' || true)
if [[ -n $skipped ]]; then
    echo "some tests were skipped on the fresh machine:"
    echo "$skipped"
    exit 1
fi
echo "== lintian on the packages made on the fresh tree"
lintian "$tree"/root/StdException/build/package/*.deb
rm -rf --one-file-system "$tree"
echo "== the README's commands passed on a fresh Debian 12 tree"
