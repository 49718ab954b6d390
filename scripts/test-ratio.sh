#!/usr/bin/env bash
# Prints the size of the tests against the code: non-blank lines of tests/
# and fuzz/ against those of src/ and tools/ (the agreed size is a quarter to
# a third; at most a half).
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  git ls-files -- "$@" | grep -E '\.(cpp|cc|c|h|hpp|js|ts|py|sh)$' |
    xargs -r cat | grep -cv '^[[:space:]]*$' || true
}
tests=$(count tests fuzz)
code=$(count src tools)
echo "test lines (tests/, fuzz/): $tests; code lines (src/, tools/): $code;" \
     "tests are $((100 * tests / code))% of the code"
