#!/usr/bin/env bash
# Builds the fuzz preset and runs every target for QX_FUZZ_SECONDS (default 20)
# each, starting from its seed corpus in fuzz/corpus/<name> when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${QX_FUZZ_SECONDS:-20}
scripts/build.sh fuzz
shopt -s nullglob
passed=0 failed=0
for target in build/fuzz/bin/*_fuzz; do
  name=$(basename "$target")
  work=$(mktemp -d)
  corpus=()
  [[ -d fuzz/corpus/$name ]] && corpus=(fuzz/corpus/"$name")
  echo "-- $name (${seconds}s)"
  if QX_STATE_DIR=$work/state QX_RUNTIME_DIR=$work/run TMPDIR=$work \
     "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 \
       -artifact_prefix="$work/" "$work" "${corpus[@]}" >"$work/log" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    tail -40 "$work/log"
    echo "$name: FAILED (artifacts in $work)"
    continue
  fi
  rm -rf "$work"
done
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
