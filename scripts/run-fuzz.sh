#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a while, side by side (one per core:
# each is single-threaded), starting from a copy of its seed corpus in
# fuzz/corpus/<target>/.
#
#   scripts/run-fuzz.sh [seconds per target, default 30]
#
# Prints the executions each target ran. Exits non-zero when a target finds a crash,
# a sanitizer report, a leak, an uncaught exception or a broken law; the input that
# did it is left in build/fuzz/runs/<target>/artifacts/ (named in the output). Keep
# such an input under fuzz/regressions/<target>/ so that the fuzz_regressions test
# replays it from then on.
set -euo pipefail
seconds=${1:-30}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [seconds per target]" >&2
  exit 2
fi
cd "$(dirname "$0")/.."

scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
# The build preset builds the fuzzers and the libraries they need, nothing else.
cmake --build --preset fuzz -j "${JOBS:-$(nproc)}"

runs=build/fuzz/runs
rm -rf "$runs"
mkdir -p "$runs/tmp"
# The header, link and auxfile targets write their files into a scratch folder there.
export TMPDIR="$PWD/$runs/tmp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# Runs one target and leaves its verdict in $work/status.
run_target() {
  local target=$1 binary=$2 work=$3 status=ok
  if ! "$binary" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1; then
    status=FAILED
  fi
  # A finding leaves its input behind even where the exit status would not tell.
  if [ -n "$(ls -A "$work/artifacts")" ]; then
    status=FAILED
  fi
  echo "$status" >"$work/status"
}

# The targets run side by side, one per core: each is single-threaded.
jobs=${JOBS:-$(nproc)}
targets=()
for folder in fuzz/corpus/*/; do
  target=$(basename "$folder")
  work=$runs/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$folder"* "$work/corpus/"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_target "$target" "build/fuzz/fuzz/fuzz-$target" "$work" &
  targets+=("$target")
done
wait

failed=()
for target in "${targets[@]}"; do
  work=$runs/$target
  status=$(cat "$work/status" 2>/dev/null || echo FAILED)
  executions=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$work/log" |
               grep -Eo '[0-9]+$' || echo "?")
  printf '%-14s %12s executions in %ss  %s\n' "$target" "$executions" "$seconds" "$status"
  if [ "$status" != ok ]; then
    failed+=("$target")
    echo "---- $target: end of $work/log" >&2
    tail -n 40 "$work/log" >&2
    echo "---- $target: crashing input(s) in $work/artifacts/:" >&2
    ls -l "$work/artifacts" >&2
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs under $runs/<target>/artifacts/)" >&2
  exit 1
fi
echo "fuzzing found nothing"
