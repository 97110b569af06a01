#!/usr/bin/env bash
# The main job: start the sandbox server on a free loopback port, send one level-2 page through
# it with snpp-send -v, show the dialogue and the page the sandbox received, stop the sandbox.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target snpp-send snpp-sandbox >/dev/null

work=$(mktemp -d)
sandbox_pid=
cleanup() {
  [ -n "$sandbox_pid" ] && kill "$sandbox_pid" 2>/dev/null && wait "$sandbox_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/sandbox/snpp-sandbox" --port 0 --log "$work/pages.jsonl" >"$work/sandbox.out" &
sandbox_pid=$!
for _ in $(seq 100); do
  grep -q '^READY' "$work/sandbox.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^READY .*:\([0-9]*\)$/\1/p' "$work/sandbox.out")
[ -n "$port" ] || { echo "demo: the sandbox did not start" >&2; cat "$work/sandbox.out" >&2; exit 1; }
echo "sandbox listening on 127.0.0.1:$port"
echo

cat >"$work/body.txt" <<'BODY'
db1: disk /var at 97%
.
The line above is a lone dot: it goes out doubled and cannot end the message early.
BODY

echo "\$ snpp-send -v --port $port --level 2 --pager 5551234 --subject 'Disk alert' --alert --data-file body.txt"
status=0
"$build/tools/send/snpp-send" -v --port "$port" --level 2 --pager 5551234 \
  --subject "Disk alert" --alert --data-file "$work/body.txt" 2>&1 || status=$?
echo
echo "the sandbox received:"
cat "$work/pages.jsonl"
exit $status
