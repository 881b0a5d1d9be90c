#!/bin/bash
# The shipped rules on a real Prometheus watching six hosts on the loopback
# address, each a real node_exporter whose textfile directory orvcheck writes:
# a healthy host, a host whose leap-second list expires in 10 days, a host
# whose timer has died (its file an hour old), a host whose checked interface
# is missing, a host whose PHC (the fake driver's) swings between 2 ms and
# 0.9 ms from one run to the next, and a host without orvcheck. The job is
# not called "node". Prometheus's alerts API must show exactly the alerts of
# the faulty hosts, with their instances and checks.
# Sets the kernel's TAI offset to 37 for the run and puts back the one found.
# Usage: live_test.sh ORVCHECK LEAPSET RULES FAKE_DRIVER_PRELOAD
set -euo pipefail
orvcheck=$1
leapset=$2
rules=$3
preload=$4
work=$(mktemp -d)
pids=()
offset=$("$leapset")
cleanup() {
  [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  "$leapset" --set "$offset"
  rm -rf "$work"
}
trap cleanup EXIT
"$leapset" --set 37

# Free ports on the loopback address, as the kernel hands them out.
mapfile -t ports < <(/usr/bin/python3 -c '
import socket
sockets = [socket.socket() for _ in range(7)]
for s in sockets:
    s.bind(("127.0.0.1", 0))
for s in sockets:
    print(s.getsockname()[1])
')

ntp() { echo $(($1 + 2208988800)); }

# A leap-second list in tzdata's form with a matching "#h" line: the SHA-1
# of the digits of "#$", "#@" and every entry, as five 32-bit words.
leap_list() {
  local expires updated digits entries=""
  expires=$(ntp "$1")
  updated=$(ntp $(($(date +%s) - 30 * 86400)))
  digits="$updated$expires"
  local value=10
  for date in 1972-01-01 1972-07-01 1973-01-01 1974-01-01 1975-01-01 1976-01-01 1977-01-01 \
    1978-01-01 1979-01-01 1980-01-01 1981-07-01 1982-07-01 1983-07-01 1985-07-01 1988-01-01 \
    1990-01-01 1991-01-01 1992-07-01 1993-07-01 1994-07-01 1996-01-01 1997-07-01 1999-01-01 \
    2006-01-01 2009-01-01 2012-07-01 2015-07-01 2017-01-01; do
    local when
    when=$(ntp "$(date -u -d "$date" +%s)")
    entries+="$when	$value"$'\n'
    digits+="$when$value"
    value=$((value + 1))
  done
  printf '#$\t%s\n#@\t%s\n%s#h\t%s\n' "$updated" "$expires" "$entries" \
    "$(printf %s "$digits" | sha1sum | cut -c1-40 | sed -E 's/(.{8})/\1 /g; s/ $//')"
}

now=$(date +%s)
leap_list $((now + 365 * 86400)) >"$work/current.list"
leap_list $((now + 10 * 86400)) >"$work/expiring.list"
echo "0 1 12" >"$work/hwtstamp"
# orvcheck for HOST with LIST, the fake driver's PHC at OFFSET ns from
# CLOCK_TAI.
check() {
  local host=$1 list=$2 offset=$3
  shift 3
  env LD_PRELOAD="$preload" ORVTEST_HWTSTAMP_IF=fake0 ORVTEST_HWTSTAMP_STATE="$work/hwtstamp" \
    ORVTEST_PHC=0 ORVTEST_PHC_OFFSET_NS="$offset" \
    "$orvcheck" --leap-seconds-list "$work/$list.list" --textfile "$work/host$host/orvkit.prom" \
    "$@" >/dev/null
}
targets=""
for host in 1 2 3 4 5 6; do
  mkdir "$work/host$host"
  status=0
  case $host in
    1 | 3) check $host current 0 --interface fake0 || status=$? ;;
    2) check $host expiring 0 || status=$? ;;
    4) check $host current 0 --interface fake0 --interface gone0 || status=$? ;;
  esac
  expected=0
  case $host in 2) expected=1 ;; 4) expected=2 ;; esac
  [ $status -eq $expected ] || {
    echo "FAIL: orvcheck for host $host exited $status, not $expected" >&2
    exit 1
  }
  prometheus-node-exporter --web.listen-address="127.0.0.1:${ports[$host]}" \
    --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$work/host$host" >"$work/node$host.log" 2>&1 &
  pids+=($!)
  targets+="'127.0.0.1:${ports[$host]}', "
done
touch -d '1 hour ago' "$work/host3/orvkit.prom"
# Two daemons fighting over host 5's clock: CRITICAL and WARNING in turn.
while :; do
  for offset in 2000000 900000; do
    check 5 current $offset --interface fake0 || true
    sleep 1
  done
done &
pids+=($!)

# Rules evaluated every second instead of every minute.
cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - $rules
scrape_configs:
  - job_name: prometheus
    static_configs:
      - targets: ['127.0.0.1:${ports[0]}']
  - job_name: ptp-hosts
    static_configs:
      - targets: [$targets]
EOF
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
  --web.listen-address="127.0.0.1:${ports[0]}" >"$work/prometheus.log" 2>&1 &
pids+=($!)

# name instance check interface state, one line per alert, sorted.
alerts() {
  curl -sf "http://127.0.0.1:${ports[0]}/api/v1/alerts" | tee "$work/alerts.json" |
    /usr/bin/python3 -c '
import json, sys
for alert in json.load(sys.stdin)["data"]["alerts"]:
    labels = alert["labels"]
    print(labels["alertname"], labels["instance"], labels.get("check", "-"),
          labels.get("interface", "-"), alert["state"])
' | sort
}

expected=$(sort <<<"OrvkitCheckCritical 127.0.0.1:${ports[4]} interface gone0 firing
OrvkitCheckCritical 127.0.0.1:${ports[5]} phc fake0 firing
OrvkitCheckWarning 127.0.0.1:${ports[2]} leap-list - firing
OrvkitMetricsAbsent 127.0.0.1:${ports[6]} - - pending
OrvkitTextfileStale 127.0.0.1:${ports[3]} - - firing")
seen=""
for _ in $(seq 60); do
  sleep 1
  seen=$(alerts 2>/dev/null || true)
  [ "$seen" = "$expected" ] && break
done
# A few more evaluations: nothing else may turn up, for the healthy host or
# for Prometheus's own target.
sleep 5
seen=$(alerts)
/usr/bin/python3 -m json.tool "$work/alerts.json"
if [ "$seen" != "$expected" ]; then
  printf 'FAIL: alerts\n%s\nexpected\n%s\n' "$seen" "$expected" >&2
  tail -5 "$work/prometheus.log" >&2
  exit 1
fi
echo "alerts as expected: the expiring list on host 2, the stale textfile on host 3, the missing"
echo "interface on host 4, the swinging PHC on host 5, no orvcheck on host 6, none on host 1"
