#!/bin/bash
# Runs the main paths of nicmark, leapset, timepeek and orvcheck, and the tests
# that destroy a vexa::Client at any moment, hand it completions of an old
# connection or stop it by an exception, under valgrind's memcheck. Any
# invalid access, use of an uninitialised value or leak (definite, indirect or
# possible) fails the test, and so does an exit status other than the path's
# own. Changes the kernel's TAI offset and restores the value it found: run as
# root.
# Usage: memcheck_test.sh VALGRIND NICMARK LEAPSET TIMEPEEK FAKE_DRIVER FAILING_CLOCK ORVCHECK
#        VEXA_CLIENT_TEST
set -euo pipefail
valgrind=$1
nicmark=$2
leapset=$3
timepeek=$4
fake_driver=$5
failing_clock=$6
orvcheck=$7
vexa_client_test=$8

work=$(mktemp -d)
saved_offset=$("$leapset")
restore() {
  "$leapset" --set "$saved_offset"
  rm -rf "$work"
}
trap restore EXIT

# Memcheck's own status when it found something; no path of the programs ends
# with it.
memcheck=("$valgrind" --error-exitcode=99 --leak-check=full --log-file="$work/memcheck"
  "--show-leak-kinds=definite,indirect,possible" "--errors-for-leak-kinds=definite,indirect,possible")
runs=0
failures=0
errors=0
leaked=0

# check NAME EXPECTED_STATUS STATUS: adds the run's findings to the totals.
check() {
  runs=$((runs + 1))
  errors=$((errors + $(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$work/memcheck")))
  leaked=$((leaked + $(awk '/(definitely|indirectly|possibly) lost:/ { gsub(",", "", $4); sum += $4 }
                            END { print sum + 0 }' "$work/memcheck")))
  if [ "$3" -ne "$2" ]; then
    echo "FAIL: $1: status $3, expected $2"
    cat "$work/err" "$work/memcheck"
    failures=$((failures + 1))
  fi
}

# run NAME EXPECTED_STATUS [NAME=VALUE...] PROGRAM ARGS...: PROGRAM under
# memcheck, with the environment entries given; standard output goes to
# $work/out, or to $STDOUT when that is set.
run() {
  local name=$1 expected=$2 status=0 environment=()
  shift 2
  while [[ $1 == *=* ]]; do
    environment+=("$1")
    shift
  done
  env "${environment[@]}" "${memcheck[@]}" "$@" >"${STDOUT:-$work/out}" 2>"$work/err" \
    </dev/null || status=$?
  check "$name" "$expected" "$status"
}

# expect_out NAME TEXT: the last run's standard output holds TEXT, which shows
# that the run took the path it was meant to.
expect_out() {
  if ! grep -qF -- "$2" "$work/out"; then
    echo "FAIL: $1: no '$2' in standard output:"
    cat "$work/out"
    failures=$((failures + 1))
  fi
}

run "nicmark --help" 0 "$nicmark" --help
run "nicmark --bogus" 255 "$nicmark" --bogus
run "nicmark without interface" 255 "$nicmark" --setrx 1
run "nicmark lo" 1 "$nicmark" lo
run "nicmark on a missing interface" 1 "$nicmark" orvnosuch0 --settx 1
echo "0 0 0" >"$work/driver-state"
run "nicmark change through a driver" 0 LD_PRELOAD="$fake_driver" ORVTEST_HWTSTAMP_IF=fakeptp0 \
  ORVTEST_HWTSTAMP_STATE="$work/driver-state" "$nicmark" fakeptp0 --settx 1 --setrx 12
expect_out "nicmark change through a driver" "Current config: tx_type=1  rx_filter=12"

run "leapset --help" 0 "$leapset" --help
run "leapset --version" 0 "$leapset" --version
run "leapset --bogus" 255 "$leapset" --bogus
run "leapset --set abc" 255 "$leapset" --set abc
run "leapset read" 0 "$leapset"
run "leapset --set" 0 "$leapset" --set 0 --verbose
expect_out "leapset --set" "New offset: 0"
run "leapset --init on an unset offset" 0 "$leapset" --init --verbose
expect_out "leapset --init on an unset offset" "New offset: "
run "leapset --init on a set offset" 0 "$leapset" --init --verbose
expect_out "leapset --init on a set offset" "Offset not changed"
STDOUT=/dev/full run "leapset to a full device" 1 "$leapset"

run "timepeek --help" 0 "$timepeek" --help
run "timepeek --version" 0 "$timepeek" --version
run "timepeek --interval abc" 255 "$timepeek" --interval abc
run "timepeek one row" 0 "$timepeek"
run "timepeek failed clock" 255 LD_PRELOAD="$failing_clock" FAIL_CLOCKS=1 "$timepeek"

run "vexa::Client destroyed at any moment" 0 "$vexa_client_test" \
  --gtest_filter='VexaClientDestroyed.*'
expect_out "vexa::Client destroyed at any moment" "[  PASSED  ] 6 tests."
run "vexa::Client with completions of an old connection, and stopped by a throwing notifier" 0 \
  "$vexa_client_test" --gtest_filter='*VexaClientBusy.*:VexaClient.ExceptionFromNotify*'
expect_out "vexa::Client with completions of an old connection, and stopped by a throwing notifier" \
  "[  PASSED  ] 3 tests."

# An interval run, ended by SIGINT once it has printed three rows.
"${memcheck[@]}" "$timepeek" --interval 100 >"$work/out" 2>"$work/err" </dev/null &
pid=$!
for _ in $(seq 300); do
  [ "$(wc -l <"$work/out")" -ge 4 ] && break
  sleep 0.1
done
kill -INT "$pid"
status=0
wait "$pid" || status=$?
check "timepeek --interval ended by SIGINT" 0 "$status"
if [ "$(wc -l <"$work/out")" -lt 4 ]; then
  echo "FAIL: timepeek --interval printed fewer than three rows before SIGINT"
  failures=$((failures + 1))
fi

run "orvcheck --bogus" 3 "$orvcheck" --bogus
echo "0 1 12" >"$work/driver-state"
# An interface that cannot timestamp and a daemon that never answers: CRITICAL.
run "orvcheck every check" 2 LD_PRELOAD="$fake_driver" ORVTEST_HWTSTAMP_IF=fakeptp0 \
  ORVTEST_HWTSTAMP_STATE="$work/driver-state" "$orvcheck" --interface fakeptp0 --interface lo \
  --monitor=@orvkit-memcheck-absent --timeout 0.5 --format json --textfile "$work/orvkit.prom"
expect_out "orvcheck every check" "hardware timestamping on: tx on(1), rx ptpv2-event(12)"

echo "memcheck: $runs runs of nicmark, leapset, timepeek, orvcheck and vexa_client_test:" \
  "$errors errors," \
  "$leaked bytes leaked, $failures failed"
exit $((failures > 0))
