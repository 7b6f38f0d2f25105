#!/usr/bin/env bash
# Runs the most complete demonstration there is: the reference farm worker drives a real
# node through the example job and prints the conversation.
set -euo pipefail
build_dir=${1:-build}
cd "$(dirname "$0")/.."
export TMP=${TMP:-$(mktemp -d)}
echo "== paravelle-farm drives paravelle-node (log: $TMP/paravelle.log)"
"$build_dir/bin/paravelle-farm" examples/jobs/demo.json --without-job --node "$build_dir/bin/paravelle-node"
echo "== the end of the node's log ($TMP/paravelle.log)"
tail -n 25 "$TMP/paravelle.log"
