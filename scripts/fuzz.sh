#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan + UBSan) and runs
# each fuzz_* target for DURATION seconds (default 60) on a scratch copy of
# its seed corpus under build-fuzz/, so the repository is never modified.
# Fails when any target crashes or finds a sanitizer error.
set -euo pipefail

duration="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_all

status=0
for target in build-fuzz/bin/fuzz_*; do
  [ -x "$target" ] || continue
  name="${target##*/fuzz_}"
  work="build-fuzz/fuzz-run/$name"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  if [ -d "fuzz/corpus/$name" ]; then
    cp -R "fuzz/corpus/$name/." "$work/corpus/"
  fi
  echo "== $name: ${duration}s"
  if "$target" -max_total_time="$duration" -print_final_stats=1 \
       -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb)' \
      "$work/log" || true
  else
    echo "!! $name failed; artifacts in $work/artifacts, log in $work/log"
    tail -n 40 "$work/log"
    status=1
  fi
done
exit "$status"
