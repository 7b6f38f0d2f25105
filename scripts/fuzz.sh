#!/usr/bin/env bash
# Runs libFuzzer programs built by `make fuzz`, each for a number of seconds.
#   scripts/fuzz.sh BUILD_DIR SECONDS TARGET...
# Seeds come from tests/fuzz/corpus/<target> (never written to); new inputs collect in
# BUILD_DIR/fuzz-corpus/<target>, crashes in BUILD_DIR/fuzz-crashes/<target>. A crash is
# fixed, then its input is copied into tests/fuzz/corpus/<target>, where every `make test`
# replays it.
set -uo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 3 ] || [ "$1" = "--help" ]; then
  sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
  [ "${1:-}" = "--help" ] && exit 0 || exit 2
fi
build=$1 seconds=$2
shift 2

# Commands that the targets dispatch write their log here, not into the user's $TMP.
export TMP="$build/fuzz-tmp" TMPDIR="$build/fuzz-tmp"
mkdir -p "$TMP"
failed=()
for target in "$@"; do
  program="$build/bin/${target}_fuzz"
  corpus="$build/fuzz-corpus/$target"
  crashes="$build/fuzz-crashes/$target"
  mkdir -p "$corpus" "$crashes"
  echo "== $target: ${seconds}s"
  log="$build/fuzz-$target.log"
  # A target's dictionary (its language's words) steers mutations towards real input.
  dictionary=()
  [ -f "tests/fuzz/$target.dict" ] && dictionary=(-dict="tests/fuzz/$target.dict")
  # A target's own libFuzzer flags: the lines of tests/fuzz/<target>.flags that are not comments.
  flags=()
  [ -f "tests/fuzz/$target.flags" ] && mapfile -t flags < <(grep -v -e '^#' -e '^$' "tests/fuzz/$target.flags")
  "$program" -max_total_time="$seconds" -print_final_stats=1 -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=1024 "${dictionary[@]}" "${flags[@]}" -artifact_prefix="$crashes/" "$corpus" \
    "tests/fuzz/corpus/$target" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  time=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "   $runs runs, $time per second, corpus $(ls "$corpus" | wc -l) inputs"
  if [ $status -ne 0 ]; then
    echo "   FAILED (exit $status); the input is in $crashes, the output in $log"
    grep -m5 -E 'ERROR|fuzz check failed|SUMMARY' "$log" | sed 's/^/   /'
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
