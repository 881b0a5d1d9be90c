#!/bin/bash
# Drives the bash completion functions as bash would on <Tab>, in network and
# mount namespaces of its own, whose interfaces are lo and two with hostile
# names that it makes itself (a user namespace lets any user make them).
# Usage: completion_test.sh COMPLETION_FILE
set -uo pipefail
if [ -z "${ORVKIT_COMPLETION_NAMESPACE:-}" ]; then
  ORVKIT_COMPLETION_NAMESPACE=1 exec unshare --user --map-root-user --net --mount "$0" "$@"
fi
mount -t sysfs sysfs /sys &&
  ip link add name '$(id>pwned)' type veth peer name 'dol$x' || exit 1
# shellcheck source=/dev/null
source "$1"
# Where a name run as a command would leave its trace; gone with the namespace.
mount -t tmpfs tmpfs /tmp && cd /tmp || exit 1
failures=0

# complete LINE...: sets COMP_WORDS from the words of the line, the last one
# being the word under the cursor, and calls the registered function.
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  local function
  function=$(complete -p "$1" | sed -E 's/.*-F ([^ ]+).*/\1/')
  "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {
  local expected=$1
  shift
  local actual
  actual=$(complete_words "$@")
  if [ "$actual" != "$expected" ]; then
    echo "FAIL: '$*' completes to '$actual', expected '$expected'"
    failures=$((failures + 1))
  fi
}

expect "--help --interface --setrx --settx" nicmark --
expect "--setrx --settx" nicmark eth0 --se
expect "lo" nicmark l
expect "lo" nicmark --interface l
# One interface only: none offered once it is named, wherever it stands.
expect "" nicmark lo ""
expect "" nicmark --interface lo ""
expect "" nicmark --settx 1 lo --setrx 1 ""
expect "lo" nicmark --settx 1 l
expect "-1 0 1 2 3" nicmark lo --settx ""
expect "1 10 11 12 13 14 15" nicmark lo --setrx 1
expect "--verbose --version" leapset --ver
expect "--help --init --set --verbose --version -h" leapset ""
expect "" leapset --set ""
expect "--interval" timepeek --i
expect "--help --interval --version -h" timepeek -
expect "" timepeek --interval ""
expect "--socket" vexawatch --s
expect "/dev/null" vexawatch --socket /dev/nul
expect "--format" orvcheck --fo
expect "json" orvcheck --format j
expect "" orvcheck --timeout ""
# bash splits "--format=j" at the '=': values follow it, not option names.
expect "json openmetrics text" orvcheck --format =
expect "json" orvcheck --format = j
expect "lo" orvcheck --interface = l
expect "leap-list" orvcheck --skip l
expect "phc" orvcheck --skip p
expect "--phc-critical --phc-warning" orvcheck --phc
expect "" orvcheck --phc-warning ""
expect "onestep-p2p onestep-sync" orvcheck --require-tx-type ones
# A requirement for one interface: "eth1:ptpv2-ev" is split at the ':' too.
expect "off on onestep-p2p onestep-sync" orvcheck --require-tx-type eth1 :
expect "ptpv2-event" orvcheck --require-rx-filter eth1 : ptpv2-ev
expect "ptpv2-event" orvcheck --require-rx-filter = ptpv2-ev
expect "root" orvcheck --daemon-uid = roo

# Every interface is offered for nicmark and orvcheck, its name quoted and
# never run.
expect '\$\(id\>pwned\) dol\$x lo' nicmark ""
expect '\$\(id\>pwned\) dol\$x lo' orvcheck --interface ""
expect '\$\(id\>pwned\)' orvcheck --interface '$('
expect 'dol\$x' nicmark --interface 'dol\$'
[ -e pwned ] && echo "FAIL: completing ran an interface's name" && failures=$((failures + 1))

[ $failures -eq 0 ] && echo "completion: all cases pass"
exit $((failures > 0))
