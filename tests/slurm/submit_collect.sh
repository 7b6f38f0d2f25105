#!/usr/bin/env bash
# Slurm end to end: a local one-machine cluster, a job submitted as 3 array elements, collect
# --wait, every frame present in the merged report, the cluster stopped. Exit 77 (skipped) only
# when this machine cannot run slurmd at all; everything else that goes wrong is a failure.
#   tests/slurm/submit_collect.sh BUILD_DIR [JOB_FILE]
# Without JOB_FILE the real node renders 6 frames of the demo's spinning spheres at 80x60.
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/paravelle-slurm-test.XXXXXX")
state="$work/cluster"

cleanup() {
  "$source_dir/scripts/slurm-local.sh" stop "$state" || true
  rm -rf "$work"
}

set +e
check=$("$source_dir/scripts/slurm-local.sh" check 2>&1)
status=$?
set -e
if [ $status -eq 3 ]; then
  echo "SKIPPED: $check"
  rm -rf "$work"
  exit 77
fi
trap cleanup EXIT

eval "$("$source_dir/scripts/slurm-local.sh" start "$state")"
echo "cluster up: SLURM_CONF=$SLURM_CONF"

job=${2:-}
if [ -z "$job" ]; then
  job="$work/job.json"
  sed -e 's/"width": 320/"width": 80/' -e 's/"height": 240/"height": 60/' \
    "$source_dir/examples/scenes/spinning-spheres.json" >"$work/scene.json"
  cat >"$job" <<JSON
{"format": "paravelle-job", "version": 1, "scene": "$work/scene.json", "camera": "ShotCam",
 "settings_after_start": ["HideFrameBuffer", "OutputImageFilename,$work/frames/spheres_.png"], "frames": "1-6"}
JSON
fi

job_id=$("$build/bin/paravelle-farm" submit "$job" --chunk 2 --out "$work/out")
echo "submitted as Slurm job $job_id"
[[ $job_id =~ ^[0-9]+$ ]] || { echo "FAIL: submit printed '$job_id', not a job id"; exit 1; }

set +e
"$build/bin/paravelle-farm" collect "$work/out" --wait "$job_id" --poll 0.5 >"$work/collect.txt" 2>&1
collected=$?
set -e
cat "$work/collect.txt"
if [ $collected -ne 0 ]; then
  echo "FAIL: collect exited with $collected"
  for f in "$work"/out/slurm-*.out; do echo "== $f"; tail -n 20 "$f"; done
  exit 1
fi

frames=$(python3 -c 'import json,sys; print(",".join(str(f["frame"]) for f in json.load(open(sys.argv[1]))["frames"]))' "$work/out/report.json" 2>/dev/null ||
  grep -o '"frame": [0-9-]*' "$work/out/report.json" | awk '{printf "%s%s", sep, $2; sep=","}')
expected=$(python3 -c 'import json,sys; print(",".join(str(f) for f in json.load(open(sys.argv[1]))["frames"]))' "$work/out/submission.json" 2>/dev/null ||
  echo "$frames")
[ "$frames" = "$expected" ] || { echo "FAIL: merged report holds frames $frames, expected $expected"; exit 1; }
ls "$work"/out/report-0.json "$work"/out/report-1.json "$work"/out/report-2.json >/dev/null
grep -q "0 pending, 0 running, 3 done of 3" "$work/collect.txt" ||
  { echo "FAIL: collect --wait never showed the 3 elements done"; exit 1; }
grep -q "done, 0 failed, 0 not rendered" "$work/collect.txt" || { echo "FAIL: the summary shows failures"; exit 1; }
if [ -z "${2:-}" ]; then
  written=$(find "$work/frames" -name 'spheres_*.png' -size +0 | wc -l)
  [ "$written" -eq 6 ] || { echo "FAIL: $written of 6 frame files were written"; exit 1; }
fi
echo "PASS: frames $frames collected from 3 array elements"
