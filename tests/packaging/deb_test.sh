#!/bin/bash
# Builds the Debian packages, installs them with dpkg, uses what they install
# as a user and a developer would, and removes them again. Changes the
# system: run it only on a machine you may disturb, as root.
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
mapfile -t debs < <(ls "$build"/packages/*.deb)
names=()
for deb in "${debs[@]}"; do
  names+=("$(dpkg-deb -f "$deb" Package)")
  printf '%-16s %8s bytes  Depends: %s\n' "$(dpkg-deb -f "$deb" Package)" "$(stat -c %s "$deb")" \
    "$(dpkg-deb -f "$deb" Depends)"
done
cleanup() {
  dpkg -P "${names[@]}" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
dpkg -i "${debs[@]}" >/dev/null

echo "== programs from /usr/bin"
/usr/bin/leapset --version
/usr/bin/leapset
/usr/bin/timepeek >"$work/row" && head -1 "$work/row"
/usr/bin/nicmark --help >"$work/help" && head -1 "$work/help"
status=0
/usr/bin/nicmark lo >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] || { echo "FAIL: nicmark lo exited $status" >&2; exit 1; }
/usr/bin/vexawatch --version
/usr/bin/orvcheck --version
[ -f /usr/lib/systemd/system/orvcheck-textfile.timer ] && [ -f /usr/share/man/man1/orvcheck.1 ]
# Shipped, not enabled.
[ "$(systemctl is-enabled orvcheck-textfile.timer 2>/dev/null || true)" != enabled ]
[ -f /usr/share/man/man8/leapset.8 ] && [ -f /usr/lib/systemd/system/leapset-init.service ]
[ -f /usr/share/bash-completion/completions/nicmark ]

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
if [ -e /usr/bin/leapset ] || [ -e /usr/lib/liborv.so.0.7 ]; then
  echo "FAIL: files left after removal" >&2
  exit 1
fi
echo "packages installed, used and removed: ${names[*]}"
