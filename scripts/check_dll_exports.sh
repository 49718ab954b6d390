#!/usr/bin/env bash
# Checks that the Windows DLL exports exactly the five module entry points
# and carries the type library and string resources.
set -euo pipefail
dll="$1"
exports=$(x86_64-w64-mingw32-objdump -p "$dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/{print $NF}' | grep -v Table | sort)
expected=$(printf '%s\n' DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer \
  DllUnregisterServer)
if [ "$exports" != "$expected" ]; then
  echo "keyloom.dll exports differ:" >&2
  echo "$exports" >&2
  exit 1
fi
if ! x86_64-w64-mingw32-objdump -h "$dll" | grep -q '\.rsrc'; then
  echo "keyloom.dll has no resources" >&2
  exit 1
fi
echo "keyloom.dll: the five exports and the resources are there" >&2
