#!/usr/bin/env bash
# After the Debian packages of build/package have been installed (as the
# README says, with apt-get install): builds the README's first application
# against /usr, with pkg-config and with find_package, and runs it; runs the
# packaged stdexception-symbolize; then removes and purges the packages and
# checks that nothing of theirs is left.
# Runs as root, and leaves the system without the packages.
#
# Usage (as root): installed-packages.sh SOURCE-DIR WORK-DIR
set -euo pipefail
source_dir=$1 work=$2
source "$source_dir/tests/packaging/readme-app.sh"
rm -rf "$work"
mkdir -p "$work"

packages=()
for deb in "$source_dir"/build/package/*.deb; do
    [[ -e $deb ]] || { echo "$source_dir/build/package: no .deb files"; exit 1; }
    package=$(dpkg-deb -f "$deb" Package)
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -qx "install ok installed" ||
        { echo "$deb: $package is not installed"; exit 1; }
    packages+=("$package")
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

readme_app "$source_dir/README.md" "$work/app.cpp"

echo "== the application of README.md, built with pkg-config against /usr"
# shellcheck disable=SC2046  # the flags are meant to split into words
c++ -std=c++11 -Wall -Wextra -Wpedantic -Werror "$work/app.cpp" $(pkg-config --cflags --libs StdException) \
    -o "$work/pkg-config-app"
# The dynamic linker finds the packaged library through ld.so.cache, which
# the packages' ldconfig trigger brought up to date (under /lib or /usr/lib,
# which a merged /usr makes one). grep reads all of ldd's output (no -q), so
# that ldd, cut off, does not fail the pipe.
ldd "$work/pkg-config-app" | grep -E "libStdException[.]so[.]2 => (/usr)?/lib/$multiarch/libStdException[.]so[.]2 " > /dev/null ||
    { echo "$work/pkg-config-app: does not load the library of /usr/lib/$multiarch:"; ldd "$work/pkg-config-app"; exit 1; }
check_readme_app "$work/pkg-config-app"

echo "== the application of README.md, built with find_package against /usr"
cmake -S "$source_dir/tests/consumer" -B "$work/find-package" -G Ninja -DCONSUMER_SOURCE="$work/app.cpp" \
    > "$work/cmake.log" || { cat "$work/cmake.log"; exit 1; }
grep -qx "StdException_DIR:PATH=/usr/lib/$multiarch/cmake/StdException" "$work/find-package/CMakeCache.txt" ||
    { echo "$work/find-package: found a package other than /usr/lib/$multiarch/cmake/StdException"; exit 1; }
cmake --build "$work/find-package" > "$work/build.log" || { cat "$work/build.log"; exit 1; }
check_readme_app "$work/find-package/consumer"

if [[ " ${packages[*]} " == *" stdexception-symbolize "* ]]; then
    echo "== /usr/bin/stdexception-symbolize over a report without frames"
    report='{"name":"Quorbel::SettingsException","message":"port","throwSite":[]}'
    /usr/bin/stdexception-symbolize --version
    [[ $(/usr/bin/stdexception-symbolize <<< "$report") == "$report" ]] ||
        { echo "/usr/bin/stdexception-symbolize did not pass the report on as it came"; exit 1; }
fi

echo "== apt-get remove --purge ${packages[*]}"
dpkg-query -L "${packages[@]}" | LC_ALL=C sort -u > "$work/files"
DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq "${packages[@]}" > "$work/remove.log" ||
    { cat "$work/remove.log"; exit 1; }
# What is left of what the packages listed must be a directory that another
# package owns too.
left=0
while read -r path; do
    [[ -e $path || -L $path ]] || continue
    if [[ ! -d $path || -L $path ]] || ! dpkg-query -S "$path" > /dev/null 2>&1; then
        echo "left after the purge: $path"
        left=1
    fi
done < "$work/files"
if ((left)) || [[ -e /usr/include/StdException ]] || ldconfig -p | grep libStdException > /dev/null; then
    echo "the packages' files were not all removed"
    exit 1
fi
echo "== installed, used and purged: ${packages[*]}"
