#!/usr/bin/env bash
# Runs the tests of one build preset with ctest and checks that the number of tests
# did not silently drop below the recorded minimum (a lost suite must not pass).
set -euo pipefail
preset=${1:-release}
cd "$(dirname "$0")/.."

# The S3 tests need an S3 server. Unless one is configured already (AWS_ENDPOINT_URL,
# as .ci/run does once for all presets) or FLECK_S3_TESTS=skip, a throw-away gateway
# is started on loopback (scripts/rgw.sh) and stopped when the tests end. Where it
# cannot start, the S3 tests skip, loudly.
if [ -z "${AWS_ENDPOINT_URL:-}" ] && [ "${FLECK_S3_TESTS:-}" != "skip" ]; then
  rgw_dir="build/$preset/rgw"
  trap 'scripts/rgw.sh stop "$rgw_dir"' EXIT
  if rgw_env=$(scripts/rgw.sh start "$rgw_dir" "${FLECK_RGW_PORT:-7480}"); then
    eval "$rgw_env"
  else
    echo "*** WARNING: the S3 gateway did not start; the S3 tests will be SKIPPED ***" >&2
    export FLECK_S3_TESTS=skip
  fi
fi

ctest --preset "$preset" | tee "build/$preset/ctest.log"

count=$(grep -Eo 'tests passed, [0-9]+ tests failed out of [0-9]+' "build/$preset/ctest.log" | grep -Eo '[0-9]+$' || echo 0)
minimum=$(grep -Eo '^[0-9]+' tests/min-test-count)
if [ "$count" -lt "$minimum" ]; then
  echo "error: only $count tests ran, fewer than the $minimum in tests/min-test-count" >&2
  exit 1
fi
