#!/usr/bin/env bash
# Checks a Debian package with lintian, every informational and pedantic note
# shown with its explanation, and fails on any error or warning. Installs
# nothing: lintian must be there (apt-get install lintian).
#   packaging/lint-package.sh build/release/package/updater_2.11.1_amd64.deb
set -euo pipefail

if (($# != 1)); then
    echo "usage: ${0##*/} PACKAGE.deb" >&2
    exit 2
fi
deb=$1
if [[ ! -f $deb ]]; then
    echo "${0##*/}: no such package: $deb" >&2
    exit 2
fi
if ! command -v lintian >/dev/null 2>&1; then
    echo "${0##*/}: lintian is not installed (apt-get install lintian)" >&2
    exit 2
fi

echo "lintian -i --pedantic ${deb##*/}"
status=0
output=$(lintian -i --pedantic --fail-on error,warning "$deb" 2>&1) || status=$?
[[ -z $output ]] || printf '%s\n' "$output"
# Tags are printed as "E: package: tag ..." and "W: package: tag ...".
if ((status != 0)) || grep -qE '^[EW]: ' <<<"$output"; then
    echo "${0##*/}: lintian found errors or warnings in ${deb##*/}" >&2
    exit 1
fi
echo "lintian: no errors or warnings"
