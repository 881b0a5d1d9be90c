#!/bin/bash
# Checks that libvexa exports exactly its own interface. Boost.Asio and
# Boost.System give their template instances default visibility on purpose
# (the program and the library must share them, for instance the record of
# which thread runs the io_context), so other symbols may only name boost::.
# Usage: exports_test.sh LIBRARY EXPECTED_LIST
set -euo pipefail
symbols=$(nm -D --defined-only -C "$1" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }')
actual=$(grep 'vexa::' <<<"$symbols" | sort)
expected=$(grep -v '^#' "$2" | sort)
status=0
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") | sed 's/^</missing:/; s/^>/unexpected:/' >&2
  status=1
fi
if grep -v 'vexa::' <<<"$symbols" | grep -v 'boost::' | sed 's/^/unexpected: /' >&2; then
  status=1
fi
[ "$status" = 0 ] && echo "exports match: $(wc -l <<<"$actual") of libvexa's own"
exit "$status"
