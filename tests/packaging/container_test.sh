#!/bin/bash
# The Debian packages as an operator runs them: installed into a minimal
# Debian 12 root and booted under its own systemd (systemd-nspawn). Without
# CAP_SYS_TIME leapset-init is skipped; with it, it sets the calendar value at
# boot. The textfile timer's service reads the TAI offset through its sandbox
# and leaves the reason of a check that is not OK in the journal; removing the
# package stops the timer, purging it removes the textfile.
# The root is made once by mmdebstrap and kept in $ORVKIT_CACHE (default
# /var/cache/orvkit), named by the packages it holds. The kernel's TAI offset,
# which the container shares, is put back afterwards.
# Usage: container_test.sh DEB_DIR LEAPSET
# Exits 77 (skipped) where no container can boot.
set -euo pipefail
debs=$1
leapset=$2
if systemd-detect-virt --quiet --chroot; then
  echo "SKIP: inside a chroot, where systemd-nspawn cannot boot a container"
  exit 77
fi

# The base: systemd, and what the packages depend on and recommend, so that
# they install without a network.
mapfile -t needed < <(for deb in "$debs"/*.deb; do
  dpkg-deb -f "$deb" Depends Recommends | sed -E 's/^[A-Za-z-]+: //; s/\([^)]*\)//g' | tr ',|' '\n\n'
done | tr -d ' ' | grep -v '^$' | grep -vxE 'orvkit-.*|liborv.*|libvexa.*|libboost.*-dev|libmsgsl-dev' |
  sort -u)
packages=(systemd systemd-sysv "${needed[@]}")
cache=${ORVKIT_CACHE:-/var/cache/orvkit}
base=$cache/debian12-$(printf '%s\n' "${packages[@]}" | sha256sum | cut -c1-16).tar
mkdir -p "$cache"
(
  flock 9
  if [ ! -f "$base" ]; then
    echo "== mmdebstrap: ${packages[*]}"
    IFS=,
    mmdebstrap --quiet --variant=minbase --include="${packages[*]}" bookworm "$base.new"
    mv "$base.new" "$base"
  fi
) 9>"$cache/.lock"

root=$(mktemp -d /var/tmp/orvkit-container.XXXXXX)
offset=$("$leapset")
nspawn=""
cleanup() {
  if [ -n "$nspawn" ]; then
    kill "$nspawn" 2>/dev/null || true
    wait "$nspawn" 2>/dev/null || true
  fi
  "$leapset" --set "$offset"
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$base"
mkdir "$root/root/debs" "$root/var/lib/prometheus" "$root/var/lib/prometheus/node-exporter"
cp "$debs"/*.deb "$root/root/debs/"
# A checked interface that is not there: a CRITICAL whose reason the
# journal must hold.
echo 'ORVCHECK_OPTIONS="--interface nosuch0"' >"$root/root/orvcheck"
systemd-nspawn --quiet --keep-unit --register=no -D "$root" \
  sh -c 'dpkg -i /root/debs/*.deb >/dev/null && cp /root/orvcheck /etc/default/orvcheck'

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Boots the root with the extra nspawn options given; sets $leader, the
# container's init, once it has finished booting.
boot() {
  systemd-nspawn --quiet --boot --keep-unit --register=no -D "$root" "$@" >"$root.console" 2>&1 &
  nspawn=$!
  leader=""
  for _ in $(seq 100); do
    leader=$(ps -o pid= --ppid "$nspawn" | tr -d ' ' || true)
    [ -n "$leader" ] && break
    sleep 0.1
  done
  [ -n "$leader" ] || fail "the container did not start: $(cat "$root.console")"
  local state
  state=$(inside timeout 60 systemctl is-system-running --wait || true)
  case $state in
    running | degraded) ;;
    *) fail "the container's systemd is $state" ;;
  esac
}
inside() { nsenter -t "$leader" -a "$@"; }
poweroff() {
  kill "$nspawn"
  wait "$nspawn" || true
  nspawn=""
  rm -f "$root.console"
}

echo "== without CAP_SYS_TIME: leapset-init skipped"
"$leapset" --set 0
boot
[ "$(inside systemctl show -P ConditionResult leapset-init.service)" = no ] ||
  fail "leapset-init ran without CAP_SYS_TIME"
[ "$("$leapset")" = 0 ] || fail "the offset changed without CAP_SYS_TIME"
poweroff

echo "== with CAP_SYS_TIME: leapset-init sets the calendar value"
boot --capability=CAP_SYS_TIME
inside journalctl -b -u leapset-init.service --no-pager -o cat | grep offset | tee "$root.log"
calendar=$(sed -n 's/^New offset: //p' "$root.log")
grep -qx 'Old offset: 0' "$root.log" && [ -n "$calendar" ] && [ "$calendar" != 0 ] ||
  fail "the journal does not show leapset-init setting the offset"
[ "$("$leapset")" = "$calendar" ] || fail "the kernel's offset is not $calendar"

echo "== the textfile timer's service"
inside systemctl enable --quiet --now orvcheck-textfile.timer
inside systemctl start orvcheck-textfile.service
textfile=$root/var/lib/prometheus/node-exporter/orvkit.prom
grep -E '^orvkit_(check_state|tai_offset)' "$textfile"
grep -qE '^orvkit_check_state\{check="tai-offset"\} [012]$' "$textfile" ||
  fail "the tai-offset check is UNKNOWN under the unit"
grep -qx "orvkit_tai_offset_seconds $calendar" "$textfile" &&
  grep -qx "orvkit_tai_offset_calendar_seconds $calendar" "$textfile" ||
  fail "orvkit_tai_offset_seconds missing, or $calendar is not the calendar value"
inside journalctl -u orvcheck-textfile.service --no-pager -o cat | tee "$root.log"
grep -qE '^CRITICAL +interface nosuch0 +\S' "$root.log" ||
  fail "the journal lacks the reason of the CRITICAL interface check"

echo "== remove and purge"
inside apt-get remove -qq -y orvkit-tools >/dev/null
state=$(inside systemctl is-active orvcheck-textfile.timer || true)
[ "$state" = inactive ] || fail "the timer is $state after remove"
[ -f "$textfile" ] || fail "remove took the textfile"
inside apt-get purge -qq -y orvkit-tools >/dev/null
[ ! -e "$textfile" ] || fail "purge left the textfile"
poweroff
echo "booted twice: leapset-init skipped, then set $calendar; the textfile and journal as expected"
