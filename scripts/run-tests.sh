#!/usr/bin/env bash
# Runs the tests of one build preset with ctest and checks that the number of tests
# did not silently drop below the recorded minimum (a lost suite must not pass).
set -euo pipefail
preset=${1:-release}
cd "$(dirname "$0")/.."

ctest --preset "$preset" | tee "build/$preset/ctest.log"

count=$(grep -Eo 'tests passed, [0-9]+ tests failed out of [0-9]+' "build/$preset/ctest.log" | grep -Eo '[0-9]+$' || echo 0)
minimum=$(grep -Eo '^[0-9]+' tests/min-test-count)
if [ "$count" -lt "$minimum" ]; then
  echo "error: only $count tests ran, fewer than the $minimum in tests/min-test-count" >&2
  exit 1
fi
