#!/usr/bin/env bash
# Bytes sent to an S3 gateway by a second backup copy after a 5% change of the image:
# `fleck copy --chain` (a local chain with a new snapshot, copied to s3://) against
# `restic backup` straight to the gateway and `restic copy` from a local repository, in
# one run on one gateway. A relay (bench/support/count-bytes.py) in front of the gateway
# counts what each client sends, HTTP headers included.
#
# Usage: bench/copy-s3.sh [FLECK_BINARY] [IMAGE_SIZE]
#   FLECK_BINARY  default: build/release/tools/fleck (this script builds nothing)
#   IMAGE_SIZE    default: 256M
# Environment: RGW_PORT (default 7620; the relay listens on RGW_PORT+100).
#
# The change: runs of 256 KiB at random 4 KiB-aligned offsets (not fleck-aligned), 5% of
# the image in all, replaced with bytes from a second generated image. Both tools encrypt.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$repo/build/release/tools/fleck}
size=${2:-256M}
port=${RGW_PORT:-7620}
relay_port=$((port + 100))

[ -x "$bin" ] || { echo "error: no fleck binary at $bin" >&2; exit 2; }
if ! command -v restic >/dev/null; then
  apt-get update -qq && apt-get install -y -qq restic >/dev/null
fi

work=$(mktemp -d /tmp/fleck-copy-bench.XXXXXX)
cleanup() {
  [ -n "${relay:-}" ] && kill "$relay" 2>/dev/null
  "$repo/scripts/rgw.sh" stop "$work/rgw" || true
  rm -rf "$work"
}
trap cleanup EXIT
eval "$("$repo/scripts/rgw.sh" start "$work/rgw" "$port")"
python3 "$repo/bench/support/count-bytes.py" "$relay_port" "$port" "$work/stats" &
relay=$!
for _ in $(seq 50); do [ -s "$work/stats" ] && break; sleep 0.1; done
export AWS_ENDPOINT_URL=http://127.0.0.1:$relay_port AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY \
  AWS_DEFAULT_REGION
export FLECK_PASSWORD=bench-password RESTIC_PASSWORD=bench-password
export RESTIC_CACHE_DIR=$work/restic-cache

bucket=copy-bench-$(date +%s)
curl -s -f -o /dev/null -X PUT -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" \
  --aws-sigv4 "aws:amz:$AWS_DEFAULT_REGION:s3" \
  --user "$AWS_ACCESS_KEY_ID:$AWS_SECRET_ACCESS_KEY" "http://127.0.0.1:$port/$bucket"

# The image and its changed copy.
"$bin" generate-image "$size" "$work/image" >/dev/null
"$bin" generate-image "$size" "$work/other" --seed 2 >/dev/null
# Prints the bytes of the replaced runs (overlaps counted once).
changed=$(python3 - "$work/image" "$work/other" "$work/changed" <<'PY'
import os, random, shutil, sys
image, other, changed = sys.argv[1:]
shutil.copyfile(image, changed)
size = os.path.getsize(image)
run, rng, touched = 256 * 1024, random.Random(5), bytearray(os.path.getsize(image) // 4096)
with open(other, "rb") as src, open(changed, "r+b") as dst:
    while sum(touched) * 4096 < size // 20:
        at = rng.randrange(0, size - run) // 4096 * 4096
        src.seek(at); dst.seek(at); dst.write(src.read(run))
        touched[at // 4096:(at + run) // 4096] = b"\1" * (run // 4096)
print(sum(touched) * 4096)
PY
)

sent() {
  kill -USR1 "$relay"
  sleep 0.5
  cut -d' ' -f1 "$work/stats"
}
# Runs a command and prints the bytes it sent through the relay.
measure() {
  local before after
  before=$(sent)
  "$@" >"$work/last.log" 2>&1 || { cat "$work/last.log" >&2; exit 1; }
  after=$(sent)
  echo $((after - before))
}

# fleck: a local chain, copied whole each time.
"$bin" create "$work/chain/live" --size "$size" --encrypt >/dev/null
"$bin" import "$work/chain/live" "$work/image" -q
fleck_first=$(measure "$bin" copy --chain "$work/chain/live" "s3://$bucket/fleck" -q)
"$bin" child "$work/chain/snapshot-1" --parent "$work/chain/live" >/dev/null
"$bin" import "$work/chain/live" "$work/changed" -q --incremental
fleck_second=$(measure "$bin" copy --chain "$work/chain/live" "s3://$bucket/fleck" -q)
# One disk mirrored: the old state first, then the live disk over it.
disk_first=$(measure "$bin" copy "$work/chain/snapshot-1" "s3://$bucket/fleck-disk" -q)
fleck_disk=$(measure "$bin" copy "$work/chain/live" "s3://$bucket/fleck-disk" -q)

# restic backup straight to the gateway.
export RESTIC_REPOSITORY=s3:http://127.0.0.1:$relay_port/$bucket/restic
restic init >/dev/null
cp "$work/image" "$work/disk.img"
backup_first=$(measure restic backup "$work/disk.img")
cp "$work/changed" "$work/disk.img"
backup_second=$(measure restic backup "$work/disk.img")

# restic copy from a local repository.
export RESTIC_REPOSITORY=s3:http://127.0.0.1:$relay_port/$bucket/restic-copy
RESTIC_REPOSITORY=$work/restic-local restic init >/dev/null
restic init --from-repo "$work/restic-local" --from-password-file <(echo bench-password) \
  --copy-chunker-params >/dev/null
cp "$work/image" "$work/disk.img"
RESTIC_REPOSITORY=$work/restic-local restic backup "$work/disk.img" >/dev/null
copy_first=$(measure restic copy --from-repo "$work/restic-local" \
  --from-password-file <(echo bench-password))
cp "$work/changed" "$work/disk.img"
RESTIC_REPOSITORY=$work/restic-local restic backup "$work/disk.img" >/dev/null
copy_second=$(measure restic copy --from-repo "$work/restic-local" \
  --from-password-file <(echo bench-password))

mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "image $(mib "$(stat -c %s "$work/image")"), changed bytes $(mib "$changed") ($(restic version | cut -d' ' -f1-2))"
printf "%-44s %14s %14s %18s\n" "what" "first copy" "second copy" "second / changed"
row() { printf "%-44s %14s %14s %18s\n" "$1" "$(mib "$2")" "$(mib "$3")" "$(ratio "$3" "$changed")"; }
row "fleck copy --chain (new snapshot + live)" "$fleck_first" "$fleck_second"
row "fleck copy (one disk, mirrored)" "$disk_first" "$fleck_disk"
row "restic backup to the gateway" "$backup_first" "$backup_second"
row "restic copy from a local repository" "$copy_first" "$copy_second"
