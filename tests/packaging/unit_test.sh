#!/bin/bash
# Installs the programs into a temporary prefix and checks the units there:
# they run the installed programs, stay inside the prefix and pass systemd's
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
textfile=$prefix/lib/systemd/system/orvcheck-textfile.service
grep -q "^ExecStart=$prefix/bin/orvcheck --textfile " "$textfile" || {
  echo "FAIL: ExecStart does not name the installed orvcheck" >&2
  exit 1
}
# Documentation= names man pages, which must be installed too.
MANPATH=$prefix/share/man systemd-analyze verify "$unit" "$textfile" \
  "$prefix/lib/systemd/system/orvcheck-textfile.timer"
echo "units verified: $unit $textfile and its timer"
