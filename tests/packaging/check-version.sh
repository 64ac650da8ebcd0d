#!/usr/bin/env bash
# Checks that the version macros of the chief header, as the preprocessor sees
# them, agree with the project's version and with one another, and that the
# newest CHANGELOG entry is for this version.
#
# Usage: check-version.sh HEADER VERSION CHANGELOG CXX
set -euo pipefail
header=$1 version=$2 changelog=$3 cxx=$4

read -r major minor patch number < <(
    echo "STDEXCEPTION_VERSION_MAJOR STDEXCEPTION_VERSION_MINOR STDEXCEPTION_VERSION_PATCH STDEXCEPTION_VERSION" |
        "$cxx" -E -P -x c++ -include "$header" - | tail -n 1)
if [[ $major.$minor.$patch != "$version" ]]; then
    echo "the header says $major.$minor.$patch, the project $version"
    exit 1
fi
if ((number != major * 10000 + minor * 100 + patch)); then
    echo "STDEXCEPTION_VERSION is $((number)), not $((major * 10000 + minor * 100 + patch))"
    exit 1
fi
newest=$(grep -m 1 '^## ' "$changelog" || true)
if [[ $newest != "## $version "* ]]; then
    echo "the newest CHANGELOG entry is '$newest', not $version"
    exit 1
fi
