#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a while, starting from a copy of its
# seed corpus in fuzz/corpus/<target>/.
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

failed=()
for folder in fuzz/corpus/*/; do
  target=$(basename "$folder")
  binary=build/fuzz/fuzz/fuzz-$target
  work=$runs/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$folder"* "$work/corpus/"

  status=ok
  if ! "$binary" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1; then
    status=FAILED
  fi
  # A finding leaves its input behind even where the exit status would not tell.
  if [ -n "$(ls -A "$work/artifacts")" ]; then
    status=FAILED
  fi
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
