#!/usr/bin/env bash
# Installs the build under a prefix of its own and checks the night's systemd units there with
# systemd-analyze verify (which also checks that the program the service starts is installed),
# and that the service names the installed program and init file and runs one night unattended.
# Usage: tests/install/systemd_unit_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "systemd_unit_test: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; fail "cmake --install failed"; }
units=$prefix/lib/systemd/system
service=$units/tolvacapture-night.service
# Documentation= names the man page: systemd-analyze looks it up with man.
MANPATH=$prefix/share/man systemd-analyze verify "$service" "$units/tolvacapture-night.timer" ||
    fail "systemd-analyze verify found faults"
grep -qx "ExecStart=$prefix/bin/tolvacapture \${TOLVA_INIT} --no-window --night \${TOLVA_PLACE} \$TOLVA_OPTIONS" \
    "$service" || fail "ExecStart does not start the installed program unattended"
init=$(sed -n 's/^Environment=TOLVA_INIT=//p' "$service")
[[ -f $init ]] || fail "the service's init file $init is not installed"
echo "systemd_unit_test: the units verify"
