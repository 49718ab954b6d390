#!/usr/bin/env bash
# The test command: installs what is missing, builds and runs the test
# suite in the release and the sanitizer (ASan + UBSan) builds, then
# cross-builds the Windows DLL and checks its exports.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
bash scripts/check-layers.sh

for preset in default asan; do
  echo "== $preset: build" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  echo "== $preset: test" >&2
  ctest --preset "$preset"
done

# The agent under load: its memory bound holds in the release build only.
echo "== default: agent load benchmark" >&2
build/bin/bench_agent_load

echo "== mingw: cross-build" >&2
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j2
bash scripts/check_dll_exports.sh build-mingw/bin/keyloom.dll
