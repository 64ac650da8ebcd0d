#!/bin/sh
# Unpacks the sources of Google Benchmark that Debian 12's libbenchmark-dev
# is built from (source package "benchmark", with Debian's patches applied)
# into DIRECTORY, for a build that cannot use the installed package: the
# MinGW-w64 cross build of the benchmarks. Nothing is installed and the
# system's apt configuration is left alone: the source package's .dsc and the
# two files it names are fetched from deb.debian.org with curl, the .dsc is
# checked against the SHA-256 below, and dpkg-source checks the other two
# against the .dsc before it unpacks them. A DIRECTORY that holds the sources
# already is left as it is. STDEXCEPTION_DEBIAN_MIRROR names another Debian
# mirror, such as http://snapshot.debian.org/archive/debian/20250520T000000Z
# once the release has left deb.debian.org.
#
# Usage: benchmark-source.sh DIRECTORY
set -eu

version=1.7.1-1
dsc=benchmark_$version.dsc
dsc_sha256=14113b4e003a69ed226525bdcb283c57082497dd1d581af72d84f50f1c1e59d5
pool=${STDEXCEPTION_DEBIAN_MIRROR:-http://deb.debian.org/debian}/pool/main/b/benchmark

if [ $# -ne 1 ]; then
    echo "Usage: $0 DIRECTORY" >&2
    exit 2
fi
dest=$1
if [ -f "$dest/include/benchmark/benchmark.h" ]; then
    exit 0
fi
for tool in curl dpkg-source sha256sum; do
    if ! command -v $tool > /dev/null; then
        echo "$0: $tool is missing (Debian: curl, dpkg-dev, coreutils)" >&2
        exit 1
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "Fetching Google Benchmark $version, Debian's source package, from $pool"
curl -fsS -o "$work/$dsc" "$pool/$dsc"
if ! echo "$dsc_sha256  $work/$dsc" | sha256sum -c --quiet - > /dev/null 2>&1; then
    echo "$0: $pool/$dsc is not the one this script knows (its SHA-256 differs)" >&2
    exit 1
fi
sed -n '/^Files:/,/^$/s/^ [0-9a-f]* [0-9]* //p' "$work/$dsc" | while read -r file; do
    curl -fsS -o "$work/$file" "$pool/$file"
done
rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
# The maintainer's key is not on this machine: the hash above vouches for the
# .dsc instead.
(cd "$work" && dpkg-source --no-check -x "$dsc" source > /dev/null)
mv "$work/source" "$dest"
