#!/usr/bin/env bash
# Runs the demo briefly and checks what it promises: live values on four
# channels, a configuration change taking effect, a clean stop with blanked
# channel files, nothing left running and its temporary directory gone.
# First the page (--page): the gateway answers on the port asked for with
# the example channel configuration, and SIGTERM (as Ctrl+C) stops
# everything and cleans up. Both runs share one build.
# Usage: demo_smoke.sh <source dir>
set -euo pipefail
src=$1
out=$(mktemp)
build=$(mktemp -d)
trap 'rm -rf "$out" "$build"' EXIT
fail() { echo "FAIL: $*"; echo "--- demo output:"; cat "$out"; exit 1; }

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$src/scripts/demo" --no-deps --page --port "$port" --build-dir "$build" > "$out" 2>&1 &
demo=$!
for i in $(seq 1 600); do
  grep -q "^== the page: http://127.0.0.1:$port/$" "$out" && break
  kill -0 "$demo" 2>/dev/null || fail "the page demo ended by itself"
  sleep 0.5
done
grep -q "^== the page: http://127.0.0.1:$port/$" "$out" || { kill -TERM "$demo"; fail "no page address"; }
get() {
  /usr/bin/python3 -c 'import sys, urllib.request as u
print(u.build_opener(u.ProxyHandler({})).open(sys.argv[1], timeout=5).read().decode())' "$1" || true
}
channels=$(get "http://127.0.0.1:$port/api/v1/channels")
page=$(get "http://127.0.0.1:$port/")
kill -TERM "$demo"
wait "$demo" || true
case "$channels" in *'"name":"Oven"'*'"unit":"°C"'*) ;; *) fail "the page's gateway has not the example configuration: $channels" ;; esac
case "$page" in *uPlot.min.js*) ;; *) fail "no page at the address" ;; esac
t=$(sed -n 's/^   removes \(.*\)$/\1/p' "$out")
[ -n "$t" ] && [ ! -e "$t" ] || fail "the page demo left ${t:-its directory} behind"
if pgrep -f "127.0.0.1:$port" >/dev/null; then fail "processes left running: $(pgrep -af "127.0.0.1:$port")"; fi

"$src/scripts/demo" --no-deps --seconds 5 --build-dir "$build" > "$out" 2>&1 || fail "demo exited with $?"

for n in 1 2 3 4; do
  [ "$(grep -c "^channel $n: [+-][0-9.]* V at [0-9]* ms" "$out")" -ge 3 ] || fail "channel $n shows no live values"
done
grep -q "input GND -> OK" "$out" || fail "input change not reported"
grep -q "^channel 2: +0.000000000 V" "$out" || fail "channel 2 never read 0 V after the change to GND"
grep -q "^recorded [1-9][0-9]* samples to /home/dev/recording.csv$" "$out" || fail "no recording summary"
grep -q "^time,elapsed_ms,channel,volts$" "$out" || fail "no CSV header in the recording"
[ "$(grep -c "^20[0-9-]*T[0-9:.]*Z,[0-9]*,[1-4],[-0-9.e+]*$" "$out")" -ge 4 ] || fail "no recorded samples shown"
grep -q "stopped; lock file removed" "$out" || fail "daemon did not stop cleanly"
[ "$(grep -c "^/home/dev/vx7/adc[1-4].adc: \[\.\{100\}\]$" "$out")" -eq 4 ] || fail "channel files not blanked"
t=$(sed -n 's/^demo finished; nothing left running, \(.*\) removed$/\1/p' "$out")
[ -n "$t" ] || fail "no end line"
[ ! -e "$t" ] || fail "$t left behind"
if pgrep -f "$t" >/dev/null; then fail "processes left running: $(pgrep -af "$t")"; fi
echo "demo ok"
