#!/bin/bash
# Installs the programs into a temporary prefix and checks the units there:
# they run the installed programs, stay inside the prefix, are sandboxed and
# pass systemd's own verification.
# Usage: unit_test.sh BUILD_DIR
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$1" --prefix "$prefix" --component tools >/dev/null
unit=$prefix/lib/systemd/system/leapset-init.service
grep -qx "ExecStart=$prefix/sbin/leapset --init --verbose" "$unit" || {
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
grep -q "^ExecStart=$prefix/bin/orvcheck --quiet --textfile " "$textfile" || {
  echo "FAIL: ExecStart does not name the installed orvcheck" >&2
  exit 1
}
# Sandboxed like Debian's own time services: systemd's exposure score of
# UNIT is at most LIMIT tenths.
check_exposure() {
  local unit=$1 limit=$2 score
  if ! score=$(systemd-analyze security --offline=true --threshold="$limit" "$unit" 2>&1); then
    echo "FAIL: $(basename "$unit") is exposed more than $limit/100:" >&2
    echo "$score" >&2
    exit 1
  fi
  echo "$score" | grep 'Overall exposure'
}
check_exposure "$textfile" 25
check_exposure "$unit" 35
# Documentation= names man pages, which must be installed too.
MANPATH=$prefix/share/man systemd-analyze verify "$unit" "$textfile" \
  "$prefix/lib/systemd/system/orvcheck-textfile.timer"
echo "units verified: $unit $textfile and its timer"
