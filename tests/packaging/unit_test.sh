#!/bin/bash
# Installs the programs into a temporary prefix and checks the boot unit there:
# it runs the installed leapset, stays inside the prefix and passes systemd's
# own verification.
# Usage: unit_test.sh BUILD_DIR
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$1" --prefix "$prefix" --component tools >/dev/null
unit=$prefix/lib/systemd/system/leapset-init.service
grep -qx "ExecStart=$prefix/sbin/leapset --init" "$unit" || {
  echo "FAIL: ExecStart does not name the installed leapset" >&2
  grep ExecStart "$unit" >&2
  exit 1
}
# It can neither hold up the boot nor fail where the clock may not be set, and
# still runs before time synchronisation.
for line in TimeoutStartSec=30 ConditionCapability=CAP_SYS_TIME \
  "Before=time-sync.target sysinit.target shutdown.target"; do
  grep -qx "$line" "$unit" || { echo "FAIL: the unit lacks $line" >&2; exit 1; }
done
# The unit's Documentation= names leapset(8), which must be installed too.
MANPATH=$prefix/share/man systemd-analyze verify "$unit"
echo "unit verified: $unit"
