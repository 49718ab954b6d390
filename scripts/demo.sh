#!/usr/bin/env bash
# The enrollment demo on the embedded soft platform: builds the module and
# the keyloom tool if needed, then drives one control through IDispatch as a
# bank's page does, in fresh soft-platform homes.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only the build packages: the demo needs neither the test libraries nor the
# Windows cross-toolchain. Tests and benchmarks are left out of a first
# configure here; the test command's own configure turns them back on.
if [ ! -x build/bin/keyloom ] || [ ! -f build/lib/libkeyloom.so ]; then
  bash scripts/deps.sh build
  if [ -f build/CMakeCache.txt ]; then
    cmake --preset default >/dev/null
  else
    cmake --preset default -DKEYLOOM_TESTS=OFF -DKEYLOOM_BENCH=OFF >/dev/null
  fi
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

step "The providers a page can choose from"
LANG=C "$keyloom" call ZENQ_GetCSPInfo -- ZENQ_HavePermissiontoGenerateKeyPair || true

step "A double-certificate RSA request: temporary exchange key and signing key"
LANG=C "$keyloom" call \
  ZENQ_SetCSPInfo 2048 "Microsoft Enhanced Cryptographic Provider v1.0" -- \
  ZENQ_SetKeyAlgorithm RSA -- \
  ZENQ_PKCS10CertRequisition "CN=Zhang San,OU=Retail,O=Keyloom Bank,C=CN" 2 0 -- \
  ZENQ_GetContainer | tee "$homes/rsa.json" || true
sed -n 's/.*"result":"\(MII[^"]*\)".*/\1/p' "$homes/rsa.json" | sed 's/\\r\\n/\n/g' \
  >"$homes/rsa.txt"
echo "-- The request as the certification authority reads it (keyloom request inspect):"
"$keyloom" request inspect "$homes/rsa.txt"

step "A double-certificate SM2 request on the SM2 token"
LANG=C "$keyloom" call \
  ZENQ_SetCSPInfo 256 "Keyloom SM2 Token Provider" -- \
  ZENQ_SetKeyAlgorithm SM2 -- \
  ZENQ_PKCS10CertRequisition "CN=Li Si,O=Keyloom Bank,C=CN" 2 0 | tee "$homes/sm2.json" || true
sed -n 's/.*"result":"\(MI[^"]*\)".*/\1/p' "$homes/sm2.json" | sed 's/\\r\\n/\n/g' \
  >"$homes/sm2.txt"
echo "-- The request as the certification authority reads it (keyloom request inspect):"
"$keyloom" request inspect - <"$homes/sm2.txt"

step "The key containers the requests left (keyloom key list)"
"$keyloom" key list

step "The trace of a refused call (KEYLOOM_TRACE=2)"
LANG=C KEYLOOM_TRACE=2 "$keyloom" call ZENQ_SetKeyAlgorithm ECC 2>&1 >/dev/null || true
