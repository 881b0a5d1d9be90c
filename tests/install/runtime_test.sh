#!/bin/bash
# Checks that no program loads a C++ shared library: each carries the C++
# runtime and the project's libraries, and a second C++ runtime in the same
# process would be loaded and relocated for nothing, or clash with the first.
# Usage: runtime_test.sh PROGRAM...
set -euo pipefail
status=0
for program in "$@"; do
  if loaded=$(ldd "$program" | grep -E 'lib(stdc\+\+|gcc_s|fmt|boost|date-tz|orv|vexa)'); then
    echo "FAIL: $(basename "$program") loads:"$'\n'"$loaded"
    status=1
  fi
done
[ $status -eq 0 ] && echo "no program loads a C++ shared library"
exit $status
