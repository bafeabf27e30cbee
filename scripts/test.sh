#!/usr/bin/env bash
# The whole test suite: the normal build and its tests, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and every fuzz target for a
# bounded time. QX_QUICK=1 runs the normal build's tests only.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

status=0
echo "== build and test: default preset =="
scripts/build.sh default
ctest --preset default || status=1

if [[ "${QX_QUICK:-0}" != 1 ]]; then
  echo "== build and test: sanitize preset =="
  scripts/build.sh sanitize
  ctest --preset sanitize -LE nosan || status=1

  echo "== fuzz targets =="
  scripts/fuzz.sh || status=1
fi

if [[ $status -ne 0 ]]; then
  echo "test.sh: FAILED" >&2
else
  echo "test.sh: all passed"
fi
exit $status
