#!/usr/bin/env bash
# The enrollment demo on the embedded soft platform: builds the module and
# the keyloom tool if needed, then drives one control through IDispatch as a
# bank's page does, in fresh soft-platform homes.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x build/bin/keyloom ] || [ ! -f build/lib/libkeyloom.so ]; then
  bash scripts/deps.sh
  cmake --preset default >/dev/null
  cmake --build --preset default -j2 --target keyloom_cli keyloom_module >/dev/null
fi

homes=$(mktemp -d /tmp/keyloom-demo-XXXXXX)
trap 'rm -rf "$homes"' EXIT
export KEYLOOM_HOME="$homes/user" KEYLOOM_MACHINE_HOME="$homes/machine"
keyloom=build/bin/keyloom

step() { printf '\n== %s\n' "$1"; }

step "A fresh control describes its status"
LANG=C "$keyloom" call GetLastErrorDesc || true

step "The page selects a provider, a key length and an algorithm"
LANG=C "$keyloom" call \
  ZENQ_SetCSPInfo 2048 "Microsoft Enhanced Cryptographic Provider v1.0" -- \
  ZENQ_SetKeyAlgorithm RSA -- ZENQ_GetContainer -- GetLastErrorDesc || true

step "Refused choices, with their texts in English"
LANG=en_US.UTF-8 "$keyloom" call \
  ZENQ_SetCSPInfo 2048 "Microsoft Base Cryptographic Provider v1.0" -- GetLastErrorDesc -- \
  ZENQ_SetKeyAlgorithm ECC -- GetLastErrorDesc || true

step "The same refusals for a Simplified Chinese user"
LANG=zh_CN.UTF-8 "$keyloom" call \
  ZENQ_SetCSPInfo 2048 "Microsoft Base Cryptographic Provider v1.0" -- GetLastErrorDesc -- \
  ZENQ_SetKeyAlgorithm ECC -- GetLastErrorDesc || true

step "The trace of a refused call (KEYLOOM_TRACE=2)"
LANG=C KEYLOOM_TRACE=2 "$keyloom" call ZENQ_SetKeyAlgorithm ECC 2>&1 >/dev/null || true
