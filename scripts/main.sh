#!/usr/bin/env bash
# The main job: build everything and show it working.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh default
cmake --install build/default --prefix build/install >/dev/null
bin=build/install/bin

# A private store, so the demonstration leaves the machine's own untouched.
demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
export QX_STATE_DIR=$demo/state QX_RUNTIME_DIR=$demo/run

echo "== registry round trip with qxreg =="
set -x
$bin/qxreg add 'HKLM\Software\Morvane\Demo' /v Greeting /t REG_SZ /d "hello from qxreg" /f
$bin/qxreg add 'HKLM\Software\Morvane\Demo' /v Count /t REG_DWORD /d 42 /f
$bin/qxreg query 'HKLM\Software\Morvane\Demo'
$bin/qxreg export 'HKLM\Software\Morvane' "$demo/export.txt"
$bin/qxreg delete 'HKLM\Software\Morvane\Demo' /f
$bin/qxreg import "$demo/export.txt"
$bin/qxreg query 'HKLM\Software\Morvane\Demo' /v Count
