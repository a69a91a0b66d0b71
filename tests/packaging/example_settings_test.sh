#!/usr/bin/env bash
# The example qmx.txt the package installs is a settings file qmxd reads as
# meant: started with it (its two TCP ports moved to free ones and data line 1
# bridged to a virtual com1), qmxd logs no error, brings up the control line,
# opens com1 with the example's line settings, reports the other lines unused,
# and `save` writes the file back byte for byte, every remark in its place.
source "$(dirname "$0")/lib.sh"

qmxd="$build_dir/bin/qmxd"
vport="$build_dir/bin/qmx-vport"
[ -x "$qmxd" ] && [ -x "$vport" ] || skip "qmxd or qmx-vport not built"

pids=()
cleanup() {
  exec 3>&- 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

run="$work/run"
mkdir -p "$run"
cd "$run" || exit 1

"$vport" com1 >"$work/vport.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -L com1 ] && break; sleep 0.1; done
[ -L com1 ] || { cat "$work/vport.log" >&2; fail "qmx-vport made no com1"; finish; }

# Starts qmxd on the example with control port $1 and data line 1 on $2.
# Returns 2 when a port was taken, so another pair can be tried.
start_server() {
  sed -e "2s/^8001\t/$1\t/" -e "3s/^unused,unused\t/$2,com1\t/" \
    "$source_dir/packaging/qmx.txt" >qmx.txt
  cp qmx.txt "$work/expected.txt"
  "$qmxd" 2>"$work/qmxd.err" &
  server=$!
  for _ in $(seq 100); do
    grep -q 'serving' "$work/qmxd.err" && break
    sleep 0.05
  done
  if grep -q 'TCP port .* open failure' "$work/qmxd.err"; then
    kill "$server"; wait "$server"
    return 2
  fi
  pids+=("$server")
  grep -q 'serving' "$work/qmxd.err"
}

started=1
for _ in 1 2 3; do
  control=$((20000 + RANDOM % 30000))
  data=$((control + 1))
  start_server "$control" "$data"
  started=$?
  [ "$started" -ne 2 ] && break
done
[ "$started" -eq 0 ] || { cat "$work/qmxd.err" >&2; fail "qmxd did not start"; finish; }

reply=""
read_lines() {  # COUNT: the next COUNT lines from the control line, CR removed
  reply=""
  local line
  for _ in $(seq "$1"); do
    IFS= read -r -t 5 line <&3 || { fail "control line: no reply line (have: $reply)"; return 1; }
    reply+="${line%$'\r'}"$'\n'
  done
}
send_command() {  # TEXT COUNT: sends TEXT and CR, reads the echo and COUNT lines
  printf '%s\r' "$1" >&3
  read_lines $(($2 + 1)) && reply=${reply#*$'\n'}
}

if exec 3<>"/dev/tcp/127.0.0.1/$control"; then
  read_lines 1
  [ "$reply" = $'QMX ver2.01 ready\n' ] || fail "greeting: $reply"

  send_command status 9
  expected=$(printf '200 Status is:\n1:%s-com1 OK\n' "$data"
             for line in 2 3 4 5 6 7 8; do printf '%s:unused-unused unused\n' "$line"; done)
  [ "$reply" = "$expected"$'\n' ] || fail "status report differs:"$'\n'"$reply"

  send_command "status com1" 1
  [ "$reply" = "200 is opened by 9600,n,8,1,n. Port is $data. "$'\n' ] || fail "status com1: $reply"

  send_command save 1
  [ "$reply" = $'200 saved setup\n' ] || fail "save: $reply"
  cmp "$work/expected.txt" qmx.txt >&2 || fail "qmx.txt written by save differs from the example"
  exec 3>&-
else
  fail "cannot connect to the control line on port $control"
fi

kill -TERM "$server"
wait "$server"
status=$?
[ "$status" -eq 0 ] || fail "qmxd exited with $status after SIGTERM"
# Each line starts with its time; the session's own lines (serving, the
# client, its commands answered 2xx, the signal) are not errors.
sed -E 's/^[0-9T:.-]+Z //' "$work/qmxd.err" |
  grep -Ev '^qmxd: (serving|signal|TCP port [0-9]+: [^ ]+ (connected|disconnected \((closed by the client|the line closed)\))|TCP port [0-9]+: [^ ]+: .* -> 2[0-9][0-9]$)' >&2 &&
  fail "qmxd logged errors with the example settings"

finish
