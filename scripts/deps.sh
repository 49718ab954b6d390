#!/usr/bin/env bash
# Installs the Debian packages that are missing for the given groups:
#   build    the module, the tools and the demo (compiler, CMake, OpenSSL,
#            SQLite and libxml2 headers, the openssl command; Boost.Beast and
#            nlohmann/json for the browser agent)
#   test     the test suites, benchmarks and fuzz targets
#   windows  the Windows cross-build and Wine (with GoogleTest's sources for
#            the platform tests under Wine), the MSI tools (wixl) and
#            Authenticode signing (osslsigncode)
#   browser  the browser tests: Debian's Chromium, Node.js and a Chinese font
#            for the screenshots (the tests' own packages come from their
#            package-lock.json)
#   npm      npm, for a Node.js that came without it
#   package  the Debian package and its test (dpkg-shlibdeps, lintian,
#            systemd-socket-activate, curl)
#   pkcs11   the PKCS#11 token provider: p11-kit's headers, and SoftHSM2,
#            OpenSC's pkcs11-tool and a pinentry for its tests
# No group: all of them. Safe to run again.
set -euo pipefail

declare -A groups=(
  [build]="cmake ninja-build g++ pkg-config libssl-dev libsqlite3-dev libxml2-dev openssl libboost-dev nlohmann-json3-dev"
  [test]="libxml2-utils libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev"
  [windows]="g++-mingw-w64-x86-64-posix mingw-w64-tools libwine-dev wine64 googletest msitools wixl osslsigncode"
  [browser]="chromium nodejs fonts-wqy-zenhei"
  [npm]="npm"
  [package]="dpkg-dev file lintian systemd curl"
  [pkcs11]="libp11-kit-dev p11-kit softhsm2 opensc pinentry-tty"
)

chosen=("$@")
if ((${#chosen[@]} == 0)); then chosen=(build test windows pkcs11); fi
packages=()
for group in "${chosen[@]}"; do
  if [ -z "${groups[$group]+set}" ]; then
    echo "usage: deps.sh [build|test|windows|browser|npm|package|pkcs11]..." >&2
    exit 2
  fi
  read -r -a listed <<<"${groups[$group]}"
  packages+=("${listed[@]}")
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}" >&2
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
