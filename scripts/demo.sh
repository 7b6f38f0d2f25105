#!/usr/bin/env bash
# The most complete demonstration there is: the reference farm worker drives a real node
# through a whole job of examples/jobs/spinning-spheres.json (StartJob, one RenderTask per
# frame, EndJob), showing the conversation, then tells where every file went.
set -euo pipefail
build_dir=${1:-build}
cd "$(dirname "$0")/.."
work=$(mktemp -d "${TMPDIR:-/tmp}/paravelle-demo.XXXXXX")
output=/tmp/paravelle/spinning-spheres   # the folders the job file names
log="$work/node-1-1/paravelle.log"
rm -rf "$output"
echo "== paravelle-farm renders examples/jobs/spinning-spheres.json on paravelle-node (log: $log)"
status=0
"$build_dir/bin/paravelle-farm" examples/jobs/spinning-spheres.json --node "$build_dir/bin/paravelle-node" \
  --work-dir "$work" --report "$work/report.json" || status=$?
echo "== the files the job wrote"
for kind in beauty alpha zdepth jpg; do
  mapfile -t files < <(find "$output/$kind" -type f 2>/dev/null | sort)
  if ((${#files[@]} == 0)); then
    printf '  %-6s  none\n' "$kind"
  else
    printf '  %-6s  %2d files: %s ... %s\n' "$kind" "${#files[@]}" "${files[0]}" "$(basename "${files[-1]}")"
  fi
done
echo "  report: $work/report.json (every frame with its files and sizes)"
echo "  node's log: $log"
exit $status
