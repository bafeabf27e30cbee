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
set +x

echo
echo "== one trap with the defaults, from the installed qxtrap to a listener on 127.0.0.1 =="
# The listener prints its port, then the first datagram it receives, in hex.
/usr/bin/python3 -u -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.settimeout(10)
data, peer = s.recvfrom(65536)
print("listener received %d bytes from %s:%d:" % (len(data), peer[0], peer[1]))
for i in range(0, len(data), 16):
    print("  " + " ".join("%02X" % b for b in data[i:i + 16]))
' >"$demo/listener.out" &
listener=$!
for _ in $(seq 50); do [[ -s "$demo/listener.out" ]] && break; sleep 0.1; done
port=$(head -1 "$demo/listener.out")
status=0
set -x
$bin/qxtrap -d -p "$port" 127.0.0.1 "" "" 6 1 "" || status=$?
{ set +x; } 2>/dev/null
echo "qxtrap exit status: $status"
wait "$listener"
tail -n +2 "$demo/listener.out"
