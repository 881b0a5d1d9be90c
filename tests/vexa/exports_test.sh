#!/bin/bash
# Checks that libvexa exports exactly the expected list: its own interface
# and the few Boost symbols that a program and the library must share.
# Usage: exports_test.sh LIBRARY EXPECTED_LIST
set -euo pipefail
actual=$(nm -D --defined-only -C "$1" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' | sort)
expected=$(grep -v '^#' "$2" | sort)
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") | sed -n 's/^</missing:/p; s/^>/unexpected:/p' >&2
  exit 1
fi
echo "exports match: $(wc -l <<<"$actual") symbols"
