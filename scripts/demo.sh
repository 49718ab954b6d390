#!/usr/bin/env bash
# The enrollment demo on the embedded soft platform: builds the module and
# the keyloom tool if needed, then drives one control through IDispatch as a
# bank's page does, in fresh soft-platform homes.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only the build packages: the demo needs neither the test libraries nor the
# Windows cross-toolchain. Tests and benchmarks are left out of a first
# configure here; the test command's own configure turns them back on.
if [ ! -x build/bin/keyloom ] || [ ! -f build/lib/libkeyloom.so ] || [ ! -x build/bin/testca ]; then
  bash scripts/deps.sh build
  if [ -f build/CMakeCache.txt ]; then
    cmake --preset default >/dev/null
  else
    cmake --preset default -DKEYLOOM_TESTS=OFF -DKEYLOOM_BENCH=OFF >/dev/null
  fi
  cmake --build --preset default -j2 --target keyloom_cli keyloom_module testca >/dev/null
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
  ZENQ_PKCS10CertRequisition "CN=Li Si,O=Keyloom Bank,C=CN" 2 0 -- \
  ZENQ_GetContainer | tee "$homes/sm2.json" || true
sed -n 's/.*"result":"\(MI[^"]*\)".*/\1/p' "$homes/sm2.json" | sed 's/\\r\\n/\n/g' \
  >"$homes/sm2.txt"
echo "-- The request as the certification authority reads it (keyloom request inspect):"
"$keyloom" request inspect - <"$homes/sm2.txt"

step "The key containers the requests left (keyloom key list)"
"$keyloom" key list

step "The bank's certification authority answers both requests (testca)"
# A signing certificate for each request, and an encryption key pair with
# its certificate, the private key wrapped for the request's temporary key.
testca=build/bin/testca
"$testca" init --dir "$homes/ca"
for name in rsa sm2; do
  if [ "$name" = rsa ]; then bits=2048; else bits=256; fi
  "$testca" issue --dir "$homes/ca" --csr "$homes/$name.txt" --out "$homes/$name-sign.cer"
  "$testca" envelope --dir "$homes/ca" --alg "$name" --temp-key-from-request "$homes/$name.txt" \
    --bits "$bits" --subject "CN=Encryption,O=Keyloom Bank,C=CN" \
    --out-envelope "$homes/$name-envelope.txt" --out-cert "$homes/$name-encrypt.cer"
done
container() { sed -n 's/.*"method":"ZENQ_GetContainer".*"result":"\([^"]*\)".*/\1/p' "$homes/$1.json"; }

step "The page installs the signing and the encryption certificate"
install() {  # NAME PROVIDER BITS ALGORITHM
  LANG=C "$keyloom" call ZENQ_SetCSPInfo "$3" "$2" -- ZENQ_SetKeyAlgorithm "$4" -- \
    ZENQ_ImportSignCert 2 "$(cat "$homes/$1-sign.cer")" "$(container "$1")" -- \
    ZENQ_ImportEncryptCert "$(cat "$homes/$1-envelope.txt")" "$(cat "$homes/$1-encrypt.cer")" \
      "$(container "$1")" 0 | cut -c1-120 || true
}
install rsa "Microsoft Enhanced Cryptographic Provider v1.0" 2048 RSA
install sm2 "Keyloom SM2 Token Provider" 256 SM2
echo "-- The software provider's certificates, linked from the user's My store (keyloom store list My):"
"$keyloom" store list My
echo "-- Each key pair checked against itself and its certificate (keyloom key verify):"
"$keyloom" key verify --provider "Microsoft Enhanced Cryptographic Provider v1.0" --container "$(container rsa)"
"$keyloom" key verify --provider "Keyloom SM2 Token Provider" --container "$(container sm2)"

step "The trace of a refused call (KEYLOOM_TRACE=2)"
LANG=C KEYLOOM_TRACE=2 "$keyloom" call ZENQ_SetKeyAlgorithm ECC 2>&1 >/dev/null || true
