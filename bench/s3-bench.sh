#!/usr/bin/env bash
# Import and export of a disk image through the S3 file system, against restic's S3
# backend on the same gateway in the same run, with the requests fleck sent.
#
# Usage: bench/s3-bench.sh [FLECK_BINARY] [IMAGE_SIZE]
#   FLECK_BINARY  default: build/release/tools/fleck (this script builds nothing)
#   IMAGE_SIZE    default: 1G
# Environment:
#   AWS_ENDPOINT_URL etc.  an S3 server to use; without it a throw-away gateway is
#                          started with scripts/rgw.sh on RGW_PORT (default 7490)
#   THREADS=2              import and export threads of fleck
#   KEEP_IMAGE=            a path: keep (and reuse) the generated image there
#
# The image comes from ../shared/bench/make-image.sh next to the repository (40% zero
# runs, 30% compressible, 30% random), else from `fleck generate-image`. The fleck disk
# is unencrypted (lz4); restic always encrypts (and compresses nothing in 0.14).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$repo/build/release/tools/fleck}
size=${2:-1G}
threads=${THREADS:-2}
port=${RGW_PORT:-7490}

[ -x "$bin" ] || { echo "error: no fleck binary at $bin" >&2; exit 2; }
command -v restic >/dev/null || { echo "error: restic is missing (apt-get install restic)" >&2; exit 2; }

work=$(mktemp -d /tmp/fleck-s3-bench.XXXXXX)
rgw_dir=$work/rgw
cleanup() {
  [ -n "${started_rgw:-}" ] && "$repo/scripts/rgw.sh" stop "$rgw_dir"
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "${AWS_ENDPOINT_URL:-}" ]; then
  eval "$("$repo/scripts/rgw.sh" start "$rgw_dir" "$port")"
  started_rgw=1
fi
export AWS_ENDPOINT_URL AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY AWS_DEFAULT_REGION

image=${KEEP_IMAGE:-$work/image.img}
if [ ! -f "$image" ]; then
  if [ -x "$repo/../shared/bench/make-image.sh" ]; then
    "$repo/../shared/bench/make-image.sh" "$image" "$size" >/dev/null
  else
    "$bin" generate-image "$size" "$image" >/dev/null
  fi
fi
bytes=$(stat -c %s "$image")

bucket=bench-$(date +%s)
curl -s -f -o /dev/null -X PUT -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" \
  --aws-sigv4 "aws:amz:${AWS_DEFAULT_REGION:-us-east-1}:s3" \
  --user "$AWS_ACCESS_KEY_ID:$AWS_SECRET_ACCESS_KEY" "$AWS_ENDPOINT_URL/$bucket"

# Seconds (with a fraction) that a command takes; its output goes to $work/last.log.
timed() {
  local start end
  start=$(date +%s.%N)
  "$@" >"$work/last.log" 2>&1 || { cat "$work/last.log" >&2; exit 1; }
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}
rate() { echo "scale=1; $bytes / 1048576 / $1" | bc; }
requests() { grep '^s3 requests:' "$work/last.log" | tail -1 | sed 's/^s3 requests: //'; }

disk=s3://$bucket/disks/a
export FLECK_S3_STATS=1
"$bin" create "$disk" --size "$bytes" >/dev/null 2>&1
fleck_import=$(timed "$bin" import "$disk" "$image" --threads "$threads" --quiet)
import_requests=$(requests)
fleck_export=$(timed "$bin" export "$disk" "$work/out.img" --threads "$threads" --quiet)
export_requests=$(requests)
cmp -s "$image" "$work/out.img" || { echo "error: fleck exported other bytes" >&2; exit 1; }
rm -f "$work/out.img"
stored=$("$bin" info "$disk" 2>/dev/null | sed -n 's/^stored *//p')
flecks=$(echo "$stored" | grep -Eo '^[0-9]+')

export RESTIC_PASSWORD=bench-password
restic_repo=s3:$AWS_ENDPOINT_URL/$bucket/restic
restic -r "$restic_repo" init >/dev/null 2>&1
restic_backup=$(timed restic -r "$restic_repo" backup --quiet "$image")
restic_dump=$(timed sh -c "restic -r '$restic_repo' dump latest '$image' > '$work/out.img'")
cmp -s "$image" "$work/out.img" || { echo "error: restic restored other bytes" >&2; exit 1; }

echo "image: $bytes bytes ($(basename "$image")); fleck threads: $threads; gateway: $AWS_ENDPOINT_URL"
printf '%-22s %10s %10s\n' "" seconds MiB/s
printf '%-22s %10.2f %10s\n' "fleck import" "$fleck_import" "$(rate "$fleck_import")"
printf '%-22s %10.2f %10s\n' "fleck export" "$fleck_export" "$(rate "$fleck_export")"
printf '%-22s %10.2f %10s\n' "restic backup" "$restic_backup" "$(rate "$restic_backup")"
printf '%-22s %10.2f %10s\n' "restic dump" "$restic_dump" "$(rate "$restic_dump")"
echo "fleck stored: $stored"
echo "fleck import requests: $import_requests"
echo "fleck export requests: $export_requests"
puts=$(echo "$import_requests" | grep -Eo 'PUT [0-9]+' | grep -Eo '[0-9]+')
gets=$(echo "$export_requests" | grep -Eo 'GET [0-9]+' | grep -Eo '[0-9]+')
echo "PUTs per fleck written: $(echo "scale=3; $puts / $flecks" | bc) ($puts PUTs, $flecks flecks stored)"
echo "GETs per fleck of the disk read: $(echo "scale=3; $gets / ($bytes / 524288)" | bc)"
