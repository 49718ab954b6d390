#!/usr/bin/env bash
# Prints the size of the tests against the code: non-blank lines of tests/
# and fuzz/ against those of src/ and tools/ (the agreed size is a quarter to
# a third). With a limit in percent (`test-ratio.sh 40`), exits 1 when the
# tests are above it.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=${1:-}
count() {
  git ls-files -- "$@" | grep -E '\.(cpp|cc|c|h|hpp|js|ts|py|sh)$' |
    xargs -r cat | grep -cv '^[[:space:]]*$' || true
}
tests=$(count tests fuzz)
code=$(count src tools)
percent=$((100 * tests / code))
echo "test lines (tests/, fuzz/): $tests; code lines (src/, tools/): $code;" \
     "tests are $percent% of the code"
if [ -n "$limit" ] && [ $((100 * tests)) -gt $((limit * code)) ]; then
  echo "test-ratio: the tests are above $limit% of the code" >&2
  exit 1
fi
