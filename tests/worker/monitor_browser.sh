#!/usr/bin/env bash
# The monitor's page in headless Chromium, driven through its DevTools pipe, on a running job: 2 fake
# nodes, frame 4 hangs, so the page must show frames 1-3 and 5-6 done, 4 rendering, one node row
# rendering frame 4 and one idle. Leaves a screenshot (frame 3's details open) for a person to look
# at: <build>/monitor-test/monitor.png.
#   monitor_browser.sh BUILD_DIR      (exit 77: skipped, with the reason)
set -euo pipefail
build=$(cd "$1" && pwd)
browser=$(command -v chromium || command -v chromium-browser || command -v google-chrome || true)
if [[ -z "$browser" ]]; then
  echo "skipped: no Chromium found (scripts/install-deps.sh installs Debian's chromium)"
  exit 77
fi
out="$build/monitor-test"
rm -rf "$out" && mkdir -p "$out"
echo '{}' >"$out/scene.json"
echo '{"format": "paravelle-job", "version": 1, "scene": "scene.json", "frames": "1-6"}' >"$out/job.json"
"$build/bin/paravelle-farm" "$out/job.json" --nodes 2 --node "$build/bin/fake-node" --node-arg=--hang-frame \
  --node-arg=4 --report "$out/report.json" --work-dir "$out/work" --monitor 0 >"$out/farm.out" 2>&1 &
pids=($!)
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null || true' EXIT
for _ in $(seq 300); do
  port=$(sed -n 's|^monitor: http://127.0.0.1:\([0-9]*\)/$|\1|p' "$out/farm.out")
  grep -q '^frame 6 done' "$out/farm.out" && grep -q '^frame 3 done' "$out/farm.out" && [[ -n "$port" ]] && break
  sleep 0.1
done
[[ -n "$port" ]] || { cat "$out/farm.out"; exit 1; }

mkfifo "$out/to-browser" "$out/from-browser"
"$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$out/profile" --window-size=1280,900 \
  --remote-debugging-pipe about:blank 3<"$out/to-browser" 4>"$out/from-browser" 2>"$out/chromium.err" &
pids+=($!)
exec 5>"$out/to-browser" 6<"$out/from-browser"
id=0
call() {  # call METHOD PARAMS [SESSION]: the reply in $reply (messages are JSON ended by a NUL byte)
  id=$((id + 1))
  printf '{"id":%d,%s"method":"%s","params":%s}\0' "$id" "${3:+\"sessionId\":\"$3\",}" "$1" "$2" >&5
  while IFS= read -r -d '' -t 30 reply <&6; do [[ "$reply" == "{\"id\":$id,"* ]] && return 0; done
  echo "no answer to $1"; exit 1
}
evaluate() { call Runtime.evaluate "{\"expression\":\"$1\",\"returnByValue\":true}" "$session"; }
call Target.createTarget "{\"url\":\"http://127.0.0.1:$port/\"}"
target=$(sed 's/.*"targetId":"\([^"]*\)".*/\1/' <<<"$reply")
call Target.attachToTarget "{\"targetId\":\"$target\",\"flatten\":true}"
session=$(sed 's/.*"sessionId":"\([^"]*\)".*/\1/' <<<"$reply")

cells="[...document.querySelectorAll('[data-frame]')].map(c => c.dataset.frame + ':' + c.dataset.status).join(' ')"
rows="[...document.querySelectorAll('tr[data-node]')].map(r => r.dataset.node + ':' + r.dataset.state + ':' + r.cells[2].textContent).join(' ')"
want_cells='1:done 2:done 3:done 4:rendering 5:done 6:done'
for _ in $(seq 100); do
  evaluate "$cells + ' | ' + $rows"
  [[ "$reply" == *"\"value\":\"$want_cells | "* ]] && break
  sleep 0.1
done
shown=$(sed 's/.*"value":"\([^"]*\)".*/\1/' <<<"$reply")
echo "page: $shown"
failures=0
[[ "$shown" == "$want_cells | "* ]] || { echo "expected the frame cells $want_cells"; failures=1; }
[[ "$shown" =~ \|\ [12]:(rendering:4\ [12]:idle:|idle:\ [12]:rendering:4)$ ]] || { echo "expected a node rendering 4 and one idle"; failures=1; }

evaluate "[...document.querySelectorAll('[data-frame]')].find(c => c.dataset.frame === '3').click()"
sleep 1
call Page.captureScreenshot '{"format":"png"}' "$session"
sed 's/.*"data":"\([^"]*\)".*/\1/' <<<"$reply" | base64 -d >"$out/monitor.png"
[[ -s "$out/monitor.png" ]] || { echo "no screenshot"; failures=1; }
echo "screenshot: $out/monitor.png"
exit $failures
