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
{ set +x; } 2>/dev/null

echo
echo "== one trap with the defaults, from the installed qxtrap to qxtrapd on a free port =="
# qxtrapd writes the port it took on standard error, then prints the trap it
# receives with names and values from the installed MIB (db/mib.dat); it stops
# after the two datagrams sent here (-c 2).
$bin/qxtrapd -p 0 -c 2 >"$demo/qxtrapd.out" 2>"$demo/qxtrapd.err" &
listener=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on UDP port \([0-9]*\).*/\1/p' "$demo/qxtrapd.err")
  [[ -n $port ]] && break
  sleep 0.1
done
status=0
set -x
$bin/qxtrap -d -p "$port" 127.0.0.1 "" "" 6 1 "" || status=$?
$bin/qxtrap -p "$port" 127.0.0.1 "" "" 6 2 "" \
  1.3.6.1.2.1.1.5.0 octetstring "demo host" 1.3.6.1.2.1.2.2.1.8.1 integer 1 || status=$?
{ set +x; } 2>/dev/null
echo "qxtrap exit status: $status"
wait "$listener" || status=$?
cat "$demo/qxtrapd.out"
cat "$demo/qxtrapd.err"
