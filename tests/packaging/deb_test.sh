#!/bin/bash
# Builds the Debian packages from a copy of the source tree as Debian would,
# checks them with lintian and hardening-check, installs them, uses what they
# install as a user and a developer would, and purges them again. Changes the
# system: run it only on a machine you may disturb, as root.
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
unit_link=/etc/systemd/system/sysinit.target.wants/leapset-init.service
# Installing starts the boot unit where systemd runs, which may set the TAI
# offset: put back the one found.
offset=$("$build/tools/leapset/leapset")
names=()
cleanup() {
  [ ${#names[@]} -eq 0 ] || dpkg -P "${names[@]}" >/dev/null 2>&1 || true
  "$build/tools/leapset/leapset" --set "$offset"
  rm -rf "$work"
}
trap cleanup EXIT

echo "== dpkg-buildpackage"
mkdir "$work/orvkit"
git -C "$source" ls-files -z --cached --others --exclude-standard |
  (cd "$source" && xargs -0 cp --parents -t "$work/orvkit")
(cd "$work/orvkit" && DEB_BUILD_OPTIONS=parallel=2 dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1 || {
  tail -40 "$work/build.log" >&2
  exit 1
}
grep -A3 'Label Time Summary' "$work/build.log"
debs=()
for deb in "$work"/*.deb; do
  [[ $deb == *-dbgsym_* ]] && continue
  debs+=("$deb")
  names+=("$(dpkg-deb -f "$deb" Package)")
  printf '%-14s %8s bytes  Depends: %s\n' "$(dpkg-deb -f "$deb" Package)" "$(stat -c %s "$deb")" \
    "$(dpkg-deb -f "$deb" Depends)"
done

# Kept for the container test.
rm -rf "$build/debs"
mkdir "$build/debs"
cp "${debs[@]}" "$build/debs/"

echo "== lintian"
lintian --pedantic --info --fail-on error,warning "$work"/*.changes

dpkg -i "${debs[@]}" >/dev/null
[ -L "$unit_link" ] || {
  echo "FAIL: the boot unit is not enabled on install" >&2
  exit 1
}

echo "== hardening-check"
# Debian 12's C start files carry no control flow protection marking, so no
# binary linked with them shows it. The fortification check is a heuristic
# that fails a binary whose calls are all unchecked: the programs' come from
# the C++ runtime's and Boost's archives, built without fortification, and
# liborv's one memcpy is one the compiler proved in bounds. The build log shows
# instead that every object was compiled fortified. See docs/packaging.md.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
mapfile -t binaries < <(dpkg -L orvkit-tools | grep -E '^/usr/s?bin/.' &&
  ls /usr/lib/"$multiarch"/lib{orv,vexa}.so.*.*.*)
hardening-check --quiet --nocfprotection --nofortify "${binaries[@]}"
compiled=$(grep -cE 'c\+\+ .* -c \S+\.cpp$' "$work/build.log" || true)
unfortified=$(grep -E 'c\+\+ .* -c \S+\.cpp$' "$work/build.log" | grep -cv -- '-D_FORTIFY_SOURCE=2' || true)
if [ "$compiled" -eq 0 ] || [ "$unfortified" -ne 0 ]; then
  echo "FAIL: $unfortified of $compiled compilations without _FORTIFY_SOURCE=2" >&2
  exit 1
fi
echo "${#binaries[@]} programs and libraries hardened, every object fortified"

echo "== programs from their installed place"
/usr/sbin/leapset --version
/usr/sbin/leapset
/usr/bin/timepeek >"$work/row" && head -1 "$work/row"
/usr/sbin/nicmark --help >"$work/help" && head -1 "$work/help"
status=0
/usr/sbin/nicmark lo >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] || { echo "FAIL: nicmark lo exited $status" >&2; exit 1; }
/usr/bin/vexawatch --version
grep -qx "ExecStart=/usr/sbin/leapset --init --verbose" /lib/systemd/system/leapset-init.service
[ -f /usr/share/man/man8/leapset.8.gz ] && [ -f /usr/share/bash-completion/completions/nicmark ]
/usr/bin/orvcheck --version
[ -f /lib/systemd/system/orvcheck-textfile.timer ] && [ -f /usr/share/man/man1/orvcheck.1.gz ]
# The fleet's alerting rules, as a Prometheus server loads them.
promtool check rules /usr/share/orvkit/prometheus/orvkit.rules.yml
[ -f /usr/share/man/man7/orvkit-alerts.7.gz ]
# Shipped, not enabled.
if compgen -G "/etc/systemd/system/*/orvcheck-textfile.*" >/dev/null; then
  echo "FAIL: the textfile service or timer is enabled on install" >&2
  exit 1
fi
# What the timer's service writes, as it would; purging removes it below.
textfile=/var/lib/prometheus/node-exporter/orvkit.prom
mkdir -p "$(dirname "$textfile")"
status=0
/usr/bin/orvcheck --textfile "$textfile" >/dev/null || status=$?
if [ "$status" -ge 3 ] || [ ! -f "$textfile" ] || [ ! -f /etc/default/orvcheck ]; then
  echo "FAIL: orvcheck --textfile $textfile exited $status, or no /etc/default/orvcheck" >&2
  exit 1
fi

echo "== development packages"
cmake -S "$source/tests/install/consumer" -B "$work/cmake" -G Ninja >/dev/null
cmake --build "$work/cmake" >/dev/null
for program in "$work"/cmake/consumer_*; do "$program"; done
for library in orv vexa; do
  # shellcheck disable=SC2046
  g++ -std=c++20 -o "$work/pc_$library" "$source/tests/install/consumer/$library.cpp" \
    $(pkg-config --cflags --libs "$library")
  "$work/pc_$library"
done

dpkg -P "${names[@]}" >/dev/null
if [ -e /usr/sbin/leapset ] || [ -e "/usr/lib/$multiarch/liborv.so.0.7" ] || [ -e "$unit_link" ] ||
  [ -e /etc/default/orvcheck ] || [ -e "$textfile" ]; then
  echo "FAIL: files, the unit's link or the metrics left after purge" >&2
  exit 1
fi
echo "packages built, installed, used and purged: ${names[*]}"
