#!/usr/bin/env bash
# Starts a demo of QMX in ./demo: eight virtual serial ports com1..com8 with
# echo devices (from qmx-vport), a qmx.txt with the control line on 8001 and
# data lines 8002..8009 bridged to com1..com8 at 9600,n,8,1, and the server in
# the foreground: the window (qmx) when a display is available, else qmxd.
# Ctrl+C (or closing the window) stops the server and the virtual ports.
#
# To use real hardware instead, replace a link in ./demo with one to your
# device, for example:  ln -sf /dev/ttyUSB0 demo/com1   (and skip qmx-vport).
set -euo pipefail

bin=$(cd "${1:-build/bin}" && pwd)
demo=${QMX_DEMO_DIR:-demo}
mkdir -p "$demo"
cd "$demo"

if [ ! -f qmx.txt ]; then
  {
    printf 'QMX demo settings (line 1 is free text)\r\n'
    printf '8001\tcontrol line\r\n'
    for n in 1 2 3 4 5 6 7 8; do printf '%d,com%d\t\r\n' $((8001 + n)) "$n"; done
    for n in 1 2 3 4 5 6 7 8; do printf 'com%d,9600,n,8,1,n\t\r\n' "$n"; done
    printf '0\tstart minimized: 1 yes, 0 no\r\n'
  } > qmx.txt
fi

"$bin/qmx-vport" com1 com2 com3 com4 com5 com6 com7 com8 &
vport=$!
trap 'kill "$vport" 2>/dev/null || true; wait "$vport" 2>/dev/null || true' EXIT

for _ in $(seq 100); do
  [ -e com8 ] && break
  sleep 0.05
done

server=qmxd
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$bin/qmx" ]; then
  server=qmx
fi

cat <<MSG

QMX demo in $(pwd): virtual ports com1..com8 echo everything back.
  control line:  nc localhost 8001     (type: hello, help, status, open com1)
  data line 1:   nc localhost 8002     (bytes go to com1 and come back)
Stop with Ctrl+C.

MSG
"$bin/$server" || true
