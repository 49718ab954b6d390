#!/usr/bin/env bash
# The enrollment demo on the embedded soft platform, on fresh homes: the
# module is registered (COM entries, the carried root chains, the trusted
# sites), then one control driven through IDispatch as a bank's page does
# enrolls a customer twice (RSA 2048 in "Microsoft Enhanced Cryptographic
# Provider v1.0", SM2 in "Keyloom SM2 Token Provider"), with testca as the
# bank's certification authority issuing below the carried demo hierarchy;
# the page lists the certificates, checks the root chain and reads a
# refused call's description in English and Simplified Chinese.
#
# Each step prints its output, its status and its time; the last line sums
# up. The exit status is 1 when any step failed.
set -uo pipefail
cd "$(dirname "$0")/.."

# Only the build packages: the demo needs neither the test libraries nor the
# Windows cross-toolchain. Tests and benchmarks are left out of a first
# configure here; the test command's own configure turns them back on.
bash scripts/deps.sh build || exit 1
source scripts/lib/host-tools.sh
if [ ! -x build/bin/keyloom ] || [ ! -f build/lib/libkeyloom.so ] || [ ! -x build/bin/testca ]; then
  build_host_tools || exit 1
fi

homes=$(mktemp -d /tmp/keyloom-demo-XXXXXX)
trap 'rm -rf "$homes"' EXIT
mkdir -m 700 "$homes/tmp"
export KEYLOOM_HOME="$homes/user" KEYLOOM_MACHINE_HOME="$homes/machine" TMPDIR="$homes/tmp"
export LANG=C
keyloom=build/bin/keyloom
testca=build/bin/testca
chain=build/chain  # the carried demo hierarchy: the build embedded its documents
enhanced="Microsoft Enhanced Cryptographic Provider v1.0"
sm2token="Keyloom SM2 Token Provider"

steps=0
failed=0
started=$(date +%s%N)

# step TITLE COMMAND...: runs one step, showing its output, status and time.
step() {
  local title=$1
  shift
  steps=$((steps + 1))
  printf '\n== %d. %s\n' "$steps" "$title"
  local t0 t1 status
  t0=$(date +%s%N)
  "$@"
  status=$?
  t1=$(date +%s%N)
  if [ "$status" -eq 0 ]; then
    printf -- '-- ok (%d ms)\n' $(((t1 - t0) / 1000000))
  else
    failed=$((failed + 1))
    printf -- '-- FAILED with status %d (%d ms)\n' "$status" $(((t1 - t0) / 1000000))
  fi
}

# The value of "result" of the call to METHOD in the JSON lines of FILE.
result_of() {
  sed -n "s/.*\"method\":\"$2\".*\"result\":\"\\([^\"]*\\)\".*/\\1/p" "$1"
}

# enroll NAME PROVIDER BITS ALGORITHM SUBJECT: the page asks for a double
# certificate (a signing key, a temporary exchange key, the PKCS#10 request).
enroll() {
  "$keyloom" call ZENQ_SetCSPInfo "$3" "$2" -- ZENQ_SetKeyAlgorithm "$4" -- \
    ZENQ_PKCS10CertRequisition "$5" 2 0 -- ZENQ_GetContainer >"$homes/$1.json" || return
  cut -c1-160 "$homes/$1.json"
  result_of "$homes/$1.json" ZENQ_PKCS10CertRequisition | sed 's/\\r\\n/\n/g' >"$homes/$1.req"
  echo "-- the request as the authority reads it (keyloom request inspect):"
  "$keyloom" request inspect "$homes/$1.req" | cut -c1-200
}

# answer NAME ALG BITS: the bank's authority issues the signing certificate
# and makes the encryption key pair, its certificate and the envelope
# wrapped for the request's temporary key.
answer() {
  "$testca" issue --dir "$chain" --csr "$homes/$1.req" --out "$homes/$1-sign.cer" &&
    "$testca" envelope --dir "$chain" --alg "$2" --temp-key-from-request "$homes/$1.req" \
      --bits "$3" --out-envelope "$homes/$1-envelope.txt" --out-cert "$homes/$1-encrypt.cer" &&
    echo "$(base64 -d <"$homes/$1-sign.cer" |
      openssl x509 -inform DER -noout -issuer -nameopt RFC2253 2>/dev/null) (the carried hierarchy)"
}

# install NAME PROVIDER BITS ALGORITHM: the page installs both certificates
# into the request's container.
install() {
  local container
  container=$(result_of "$homes/$1.json" ZENQ_GetContainer)
  "$keyloom" call ZENQ_SetCSPInfo "$3" "$2" -- ZENQ_SetKeyAlgorithm "$4" -- \
    ZENQ_ImportSignCert 2 "$(cat "$homes/$1-sign.cer")" "$container" -- \
    ZENQ_ImportEncryptCert "$(cat "$homes/$1-envelope.txt")" "$(cat "$homes/$1-encrypt.cer")" \
    "$container" 0 | cut -c1-160 || return
  echo "-- both key pairs checked against themselves and their certificates (keyloom key verify):"
  "$keyloom" key verify --provider "$2" --container "$container"
}

# refused LANG: a refused choice and its description in that language;
# the step holds when the call is refused with 0xa0072401 and described.
refused() {
  local out
  out=$(LANG=$1 "$keyloom" call ZENQ_SetKeyAlgorithm ECC -- GetLastErrorDesc)
  echo "$out"
  grep -q '"hr":"0xa0072401"' <<<"$out" && grep -q '(0xa0072401)' <<<"$out"
}

step "Register the module: COM entries, the carried root chains, the trusted sites" \
  "$keyloom" regsvr
step "What registration wrote (keyloom reg query, keyloom zone list, keyloom store list)" \
  bash -c "'$keyloom' reg query 'HKCR\\Keyloom.CryptoAgent.Tessel_V1.X64' /s &&
           '$keyloom' zone list && '$keyloom' store list --machine CA | cut -c1-140"
step "The providers a page can choose from" \
  "$keyloom" call ZENQ_GetCSPInfo -- ZENQ_HavePermissiontoGenerateKeyPair
step "RSA 2048: the page asks for a double certificate" \
  enroll rsa "$enhanced" 2048 RSA "CN=Zhang San,OU=Retail,O=Keyloom Bank,C=CN"
step "RSA 2048: the bank's authority answers (testca, carried demo hierarchy)" answer rsa rsa 2048
step "RSA 2048: the page installs the signing and the encryption certificate" \
  install rsa "$enhanced" 2048 RSA
step "SM2: the page asks for a double certificate on the SM2 token" \
  enroll sm2 "$sm2token" 256 SM2 "CN=Li Si,O=Keyloom Bank,C=CN"
step "SM2: the bank's authority answers (testca, carried demo hierarchy)" answer sm2 sm2 256
step "SM2: the page installs the signing and the encryption certificate" \
  install sm2 "$sm2token" 256 SM2
step "The user's certificates with keys (ZENQ_GetAllCertInfo)" \
  "$keyloom" call ZENQ_GetAllCertInfo
step "The carried root chain is installed and sound (ZENQ_CheckCertificateChain)" \
  "$keyloom" call ZENQ_CheckCertificateChain -- GetLastErrorDesc
step "A refused choice, described in English" refused en_US.UTF-8
step "The same refusal for a Simplified Chinese user" refused zh_CN.UTF-8

elapsed=$((($(date +%s%N) - started) / 1000000))
if [ "$failed" -eq 0 ]; then
  printf '\nDemo: all %d steps succeeded in %d.%03d s.\n' "$steps" $((elapsed / 1000)) $((elapsed % 1000))
else
  printf '\nDemo: %d of %d steps FAILED (%d.%03d s).\n' "$failed" "$steps" $((elapsed / 1000)) $((elapsed % 1000))
  exit 1
fi
