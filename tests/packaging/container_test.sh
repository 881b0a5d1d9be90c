#!/bin/bash
# The Debian packages as an operator runs them: installed into a minimal
# Debian 12 root, booted under its own systemd (systemd-nspawn). Without
# CAP_SYS_TIME leapset-init is skipped; with it, it sets the calendar value at
# boot. The timer's service reads the TAI offset through its sandbox and
# leaves the reason of a check that is not OK in the journal; removing the
# package stops the timer, purging it removes the textfile. The root is made
# once by mmdebstrap and kept in $ORVKIT_CACHE (default /var/cache/orvkit),
# named by its packages. The kernel's TAI offset, shared, is put back.
# Usage: container_test.sh DEB_DIR LEAPSET; exits 77 where nothing can boot.
set -euo pipefail
debs=()
leapset=$2
if systemd-detect-virt --quiet --chroot 2>/dev/null; then
  echo "SKIP: inside a chroot, where systemd-nspawn cannot boot a container"
  exit 77
fi
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# systemd and what the programs' packages need and recommend: they install
# offline.
for deb in "$1"/*.deb; do [[ $deb == *-dev_* ]] || debs+=("$deb"); done
mapfile -t packages < <(printf 'systemd\nsystemd-sysv\n' && for deb in "${debs[@]}"; do
  dpkg-deb -f "$deb" Depends Recommends | sed -E 's/^[A-Za-z-]+: //; s/\([^)]*\)//g' | tr ',|' '\n'
done | tr -d ' ' | grep -vxE '|orvkit-.*|liborv.*|libvexa.*' | sort -u)
cache=${ORVKIT_CACHE:-/var/cache/orvkit}
base=$cache/debian12-$(printf '%s\n' "${packages[@]}" | sha256sum | cut -c1-16).tar
mkdir -p "$cache"
(
  flock 9
  # A download from the archive fails now and then: two more tries.
  for _ in 1 2 3; do
    [ -f "$base" ] || { IFS=, && mmdebstrap --quiet --variant=minbase \
      --include="${packages[*]}" bookworm "$base.new.tar" && mv "$base.new.tar" "$base"; } ||
      sleep 10
  done
  [ -f "$base" ] || fail "no Debian 12 root could be built"
) 9>"$cache/.lock"

root=$(mktemp -d /var/tmp/orvkit-container.XXXXXX)
offset=$("$leapset")
nspawn=""
cleanup() {
  [ -z "$nspawn" ] || poweroff
  "$leapset" --set "$offset"
  rm -rf --one-file-system "$root" "$root.log"
}
trap cleanup EXIT
tar -C "$root" -xf "$base"
mkdir -p "$root/root/debs" "$root/var/lib/prometheus/node-exporter"
cp "${debs[@]}" "$root/root/debs/"
systemd-nspawn --quiet --keep-unit --register=no -D "$root" sh -c 'dpkg -i /root/debs/*.deb >/dev/null'
# A checked interface that is not there: a CRITICAL check with a reason.
echo 'ORVCHECK_OPTIONS="--interface nosuch0"' >"$root/etc/default/orvcheck"

# Boots with the nspawn options given; $leader is the container's init.
boot() {
  systemd-nspawn --quiet --boot --keep-unit --register=no -D "$root" "$@" >"$root.log" 2>&1 &
  nspawn=$!
  for _ in $(seq 100); do
    leader=$(ps -o pid=,comm= --ppid "$nspawn" | awk '$2 == "systemd" { print $1 }') || true
    [ -z "$leader" ] || break
    sleep 0.1
  done
  local state=""
  for _ in $(seq 60); do
    state=$(inside systemctl is-system-running --wait 2>/dev/null) || true
    [[ $state != running && $state != degraded ]] || return 0
    sleep 1
  done
  fail "the container's systemd is ${state:-unreachable}: $(cat "$root.log")"
}
inside() { nsenter -t "$leader" -a "$@"; }
# A container still starting may miss the signal: killed after a minute.
poweroff() {
  kill "$nspawn"
  timeout 60 tail --pid="$nspawn" -f /dev/null || kill -KILL "$nspawn"
  wait "$nspawn" || true
  nspawn=""
}

"$leapset" --set 0
boot
[ "$(inside systemctl show -P ConditionResult leapset-init.service)" = no ] &&
  [ "$("$leapset")" = 0 ] || fail "leapset-init ran without CAP_SYS_TIME"
poweroff
echo "leapset-init skipped without CAP_SYS_TIME"

boot --capability=CAP_SYS_TIME
inside journalctl -b -u leapset-init.service -o cat | grep offset | tee "$root.log"
calendar=$(sed -n 's/^New offset: //p' "$root.log")
grep -qx 'Old offset: 0' "$root.log" && [ "${calendar:-0}" != 0 ] &&
  [ "$("$leapset")" = "$calendar" ] || fail "leapset-init did not set the offset at boot"

inside systemctl enable --quiet --now orvcheck-textfile.timer
inside systemctl start orvcheck-textfile.service
textfile=$root/var/lib/prometheus/node-exporter/orvkit.prom
grep -E '^orvkit_(check_state|tai_offset)' "$textfile"
grep -qE '^orvkit_check_state\{check="tai-offset"\} [012]$' "$textfile" &&
  grep -qx "orvkit_tai_offset_seconds $calendar" "$textfile" &&
  grep -qx "orvkit_tai_offset_calendar_seconds $calendar" "$textfile" ||
  fail "the TAI offset unread under the unit, or $calendar not the calendar value"
inside journalctl -u orvcheck-textfile.service -o cat | tee "$root.log"
grep -qE '^CRITICAL +interface nosuch0 +no such interface' "$root.log" ||
  fail "the journal lacks why the interface check is CRITICAL"

inside apt-get remove -qq -y orvkit-tools >/dev/null
state=$(inside systemctl is-active orvcheck-textfile.timer) || [ "$state" = inactive ] ||
  fail "the timer is $state after remove"
[ -f "$textfile" ] && inside apt-get purge -qq -y orvkit-tools >/dev/null && [ ! -e "$textfile" ] ||
  fail "remove took the textfile, or purge left it"
poweroff
echo "booted: leapset-init set $calendar, the textfile and journal as expected, removed and purged"
