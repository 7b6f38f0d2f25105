#!/usr/bin/env bash
# Runs the most complete demonstration there is: the reference farm worker drives a real
# node through the example job and prints the conversation.
set -euo pipefail
build_dir=${1:-build}
cd "$(dirname "$0")/.."
work=$(mktemp -d "${TMPDIR:-/tmp}/paravelle-demo.XXXXXX")
log="$work/node-1-1/paravelle.log"
echo "== paravelle-farm drives paravelle-node (log: $log)"
"$build_dir/bin/paravelle-farm" examples/jobs/demo.json --without-job --node "$build_dir/bin/paravelle-node" \
  --work-dir "$work"
echo "== the end of the node's log ($log)"
tail -n 25 "$log"
