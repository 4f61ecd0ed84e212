#!/usr/bin/env bash
# Checks the service unit with systemd-analyze verify, as systemd would load
# it for the line "line1": its settings, its dependencies, and its commands,
# with the built qdxpoll standing where the package puts it (/usr/bin).
#
#   scripts/check-unit.sh UNIT_FILE QDXPOLL
# Exits 0 when systemd finds nothing to say; 77 (a skip) without
# systemd-analyze.
set -uo pipefail
unit="$1" qdxpoll="$2"
if ! command -v systemd-analyze >/dev/null; then
    echo "check-unit: no systemd-analyze here (Debian's systemd): the unit is not verified"
    exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
name="$(basename "$unit")"
sed "s|/usr/bin/qdxpoll|$qdxpoll|g" "$unit" >"$work/$name"
said="$(systemd-analyze verify --man=no "$work/${name/@./@line1.}" 2>&1)"
status=$?
if [[ $status != 0 || -n $said ]]; then
    echo "check-unit: systemd-analyze verify on $name:"
    echo "$said"
    exit 1
fi
echo "check-unit: $name verifies (systemd $(systemd-analyze --version | sed -n '1s/systemd \([0-9]*\).*/\1/p'))"
