#!/bin/bash
# Renders every man page with all of groff's warnings on; any warning fails.
# Usage: man_test.sh PAGE...
set -uo pipefail
failures=0
for page in "$@"; do
  warnings=$(groff -ww -z -man -t "$page" 2>&1)
  # Programs and libraries document their exit status or library; section 7
  # describes a convention and has neither.
  if [ -n "$warnings" ] || { [[ $page != *.7 ]] && ! grep -q '^\.SH EXIT STATUS\|^\.SH LIBRARY' "$page"; }; then
    echo "FAIL: $page"
    echo "$warnings"
    failures=$((failures + 1))
  fi
  # man itself must find its sections too.
  if ! MANWIDTH=100 man --warnings -l "$page" 2>&1 >/dev/null | (! grep .); then
    echo "FAIL: man --warnings $page"
    failures=$((failures + 1))
  fi
done
[ $failures -eq 0 ] && echo "man pages: $# rendered without warnings"
exit $((failures > 0))
