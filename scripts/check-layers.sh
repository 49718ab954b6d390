#!/usr/bin/env bash
# Fails when an include in src/ points up a layer. The layers, each using
# only those before it: base, trace, encoding, request, install, store,
# control, module. The platform tables (src/platform/) implement base/ and
# may use trace/ and encoding/; the core never includes them, nor OpenSSL,
# SQLite or libxml2.
set -euo pipefail
cd "$(dirname "$0")/.."

rank() {
  case "$1" in
    base) echo 0 ;; trace) echo 1 ;; encoding) echo 2 ;; request) echo 3 ;;
    install) echo 4 ;; store) echo 5 ;; control) echo 6 ;; module) echo 7 ;;
    platform) echo 8 ;; *) echo -1 ;;
  esac
}

bad=0
while IFS=: read -r file line text; do
  from=${file#src/}; from=${from%%/*}
  target=$(sed -E 's/.*#include "([^"/]+)\/.*/\1/' <<<"$text")
  [ "$target" != "$text" ] || continue
  from_rank=$(rank "$from"); to_rank=$(rank "$target")
  ((to_rank >= 0)) || continue
  if [ "$from" = platform ]; then
    ok=$((to_rank <= 2 || to_rank == 8))
  else
    ok=$((to_rank <= from_rank))
  fi
  if ((!ok)); then
    echo "layers: $file:$line includes $target/ from $from/: $text" >&2
    bad=1
  fi
done < <(grep -rn -E '^#include "[^"]+/' src --include=*.h --include=*.cpp --include=*.inc)

if grep -rn -E '#include <(openssl/|sqlite3\.h|libxml/)' src --include=*.h --include=*.cpp |
     grep -v '^src/platform/'; then
  echo "layers: the core includes a third-party library that only src/platform/ may use" >&2
  bad=1
fi
exit "$bad"
