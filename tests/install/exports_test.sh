#!/bin/bash
# Compares the dynamic symbols a shared library defines with the list of its
# public interface, so that nothing of the implementation leaks out.
# Usage: exports_test.sh LIBRARY EXPECTED_LIST
set -euo pipefail
actual=$(nm -D --defined-only -C "$1" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' | sort)
expected=$(grep -v '^#' "$2" | sort)
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") | sed 's/^</missing:/; s/^>/unexpected:/' >&2
  exit 1
fi
echo "exports match: $(echo "$actual" | wc -l) symbols"
