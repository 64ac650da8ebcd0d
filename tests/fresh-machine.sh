#!/usr/bin/env bash
# Follows the README's quick start on a bare Debian 12 system, as a newcomer
# would: builds a fresh bookworm tree with mmdebstrap (Debian's packages only,
# nothing installed beyond apt), clones the committed tree into it and runs
# there, as root, every command of the README's "Quick start" section in
# order. A prerequisite missing from the README's line fails here instead of
# hiding behind a machine that happens to have it. The tests must pass with
# none failed, skipped or not run.
#
# Usage (as root): tests/fresh-machine.sh [WORK-DIR]    default: build/fresh-machine
# Uncommitted changes are not tried: the tree is cloned from the last commit.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m "${1:-$source_dir/build/fresh-machine}")
tree=$work/bookworm

# The shell lines of the README's "Quick start" section, one command a line.
quick_start=$(awk '/^## / { section = ($0 == "## Quick start") }
    section && /^```/ { block = !block && $0 == "```sh"; next }
    section && block && NF' "$source_dir/README.md")
if (($(wc -l <<< "$quick_start") < 3)); then
    echo "README.md: no quick start commands found"
    exit 1
fi

# --one-file-system: a tree left over from an interrupted run may still have
# /proc or /sys mounted; those are left alone.
rm -rf --one-file-system "$work"
mkdir -p "$work"
{
    echo "set -euxo pipefail"
    echo "cd /root/StdException"
    echo "$quick_start"
} > "$work/quick-start.sh"
echo "== the README's quick start on a fresh Debian 12 tree:"
echo "$quick_start"

# The hooks run while mmdebstrap has /dev, /proc and /sys mounted in the
# tree. The commands run as on a new machine: root, a plain environment, no
# terminal (so apt asks no questions).
mmdebstrap --variant=apt \
    --customize-hook="git clone --quiet --no-hardlinks '$source_dir' \"\$1/root/StdException\"" \
    --customize-hook="copy-in '$work/quick-start.sh' /root" \
    --customize-hook='chroot "$1" /usr/bin/env -i HOME=/root TERM=dumb DEBIAN_FRONTEND=noninteractive \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash /root/quick-start.sh < /dev/null' \
    bookworm "$tree" 2>&1 | tee "$work/log"

# CTest names skipped tests under this heading; failed and not-run tests have
# already failed the run.
if grep -q "The following tests did not run:" "$work/log"; then
    echo "some tests were skipped on the fresh machine"
    exit 1
fi
rm -rf --one-file-system "$tree"
echo "== the README's quick start passed on a fresh Debian 12 tree"
