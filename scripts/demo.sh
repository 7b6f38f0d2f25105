#!/usr/bin/env bash
# The demonstration: a 24-frame animation of examples/scenes/spinning-spheres.json at a small
# size, rendered through a whole job on 2 nodes with the farm's progress display. The frames,
# their render elements and JPEG copies land under out/demo/, with a contact sheet of every frame.
set -euo pipefail
build_dir=${1:-build}
cd "$(dirname "$0")/.."
out="$(pwd)/out/demo"
rm -rf "$out"
mkdir -p "$out"

# The example scene at 160x120: the same animation, quick enough for a demo.
sed -e 's/"width": 320/"width": 160/' -e 's/"height": 240/"height": 120/' examples/scenes/spinning-spheres.json \
  >"$out/scene.json"

cat >"$out/job.json" <<JSON
{
  "format": "paravelle-job",
  "version": 1,
  "description": "make demo: 24 frames of the spinning spheres on 2 nodes",
  "token": "demo",
  "settings_before_start": ["TempFolder,$out/temp", "GammaCorrection,2.2,2.2", "IgnoreMissingExternalFiles"],
  "scene": "$out/scene.json",
  "camera": "ShotCam",
  "settings_after_start": [
    "HideFrameBuffer",
    "OutputImageFilename,$out/beauty/spheres_.exr",
    "OutputImageReFilename,0,$out/alpha/spheres_alpha_.exr",
    "OutputImageReFilename,1,$out/zdepth/spheres_zdepth_.exr",
    "UseJpegOutput,$out/jpg/"
  ],
  "frames": "1-24",
  "job_info": {"Name": "Paravelle demo"}
}
JSON

echo "== paravelle-farm renders 24 frames on 2 nodes"
status=0
"$build_dir/bin/paravelle-farm" "$out/job.json" --nodes 2 --node "$build_dir/bin/paravelle-node" \
  --work-dir "$out/farm" --keep-work --report "$out/report.json" || status=$?

mapfile -t jpegs < <(find "$out/jpg" -type f -name '*.jpg' 2>/dev/null | sort)
if ((${#jpegs[@]} > 0)); then
  oiiotool "${jpegs[@]}" --mosaic:pad=4 6x4 -o "$out/contact-sheet.png"
fi

echo "== where everything is"
for kind in beauty alpha zdepth jpg; do
  count=$(find "$out/$kind" -type f 2>/dev/null | wc -l)
  printf '  %-14s %2d files in %s/\n' "$kind" "$count" "$out/$kind"
done
printf '  %-14s %s\n' "contact sheet" "$out/contact-sheet.png" "report" "$out/report.json" \
  "frame logs" "$out/logs/frame-*.log" "node logs" "$out/farm/node-*/paravelle.log"
echo "== to look at the job in the farm's web monitor (prints the address to open; Ctrl-C ends it)"
echo "  $build_dir/bin/paravelle-farm monitor out/demo/report.json"
exit $status
