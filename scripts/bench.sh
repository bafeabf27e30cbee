#!/usr/bin/env bash
# Builds the default preset and runs every benchmark; each prints its ratio to
# the reference it measures in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh default
shopt -s nullglob
for b in build/default/bin/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2 "$@"
done
