#!/usr/bin/env bash
# Reading a served disk over NBD against the tool's own export, in one run: nbdcopy
# from `fleck serve` (nbdkit with the fleck plugin, on a Unix socket) to a file, and
# `fleck export` of the same disk to a file. Prints MB/s (10^6 bytes per second) for
# both, the ratio NBD / export (the goal is at least 0.85) and the load average.
# Then random 4 KiB reads (fio's nbd engine, RANDOM_DEPTH requests in flight for
# RANDOM_SECONDS) from `fleck serve` and from qemu-nbd serving the same image as a
# compressed qcow2 and as a LUKS-encrypted qcow2, in IOPS.
#
# Usage: bench/nbd-bench.sh [BUILD_FOLDER] [IMAGE_SIZE]
#   BUILD_FOLDER  default: build/release (this script builds nothing; it needs
#                 tools/fleck and tools/nbdkit-plugin/nbdkit-fleck-plugin.so in it)
#   IMAGE_SIZE    default: 1G
# Environment:
#   THREADS=2      threads of the export and of the plugin (decoding ahead)
#   ENCRYPT=1      0 for an unencrypted disk
#   REPEAT=1       runs of each; the fastest counts (the machine may be shared)
#   KEEP_IMAGE=    a path: keep (and reuse) the generated image there
#   NBDCOPY_ARGS=  more options for nbdcopy, e.g. "--request-size=4194304"
#   RANDOM_SECONDS=15, RANDOM_DEPTH=16   the random-read runs (0 seconds: none)
#
# The image comes from ../shared/bench/make-image.sh next to the repository when it is
# there, else from the tool's own generator (fleck generate-image); it is imported with
# `fleck import`. Both copies are compared with the image.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build/release}
size=${2:-1G}
threads=${THREADS:-2}
encrypt=${ENCRYPT:-1}
repeat=${REPEAT:-1}
bin=$build/tools/fleck
plugin=$build/tools/nbdkit-plugin/nbdkit-fleck-plugin.so

for needed in "$bin" "$plugin"; do
  if [ ! -e "$needed" ]; then
    echo "error: $needed is missing (cmake --build --preset release --target fleck-cli nbdkit-fleck-plugin)" >&2
    exit 2
  fi
done
for program in nbdkit nbdcopy; do
  command -v "$program" >/dev/null || { echo "error: $program is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/fleck-nbd-bench-XXXXXX")
serve_pid=""
cleanup() {
  if [ -n "$serve_pid" ]; then kill -INT "$serve_pid" 2>/dev/null || true; wait "$serve_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

image=${KEEP_IMAGE:-$work/image}
if [ ! -s "$image" ]; then
  generator="$repo/../shared/bench/make-image.sh"
  if [ -x "$generator" ]; then
    echo "generating $size image with $generator" >&2
    "$generator" "$image" "$size" >&2
  else
    echo "generating $size image with fleck generate-image" >&2
    "$bin" generate-image "$size" "$image"
  fi
fi
image_bytes=$(stat -c %s "$image")

export FLECK_PASSWORD="fleck benchmark password"
create_args=(--size "$image_bytes")
if [ "$encrypt" = 1 ]; then create_args+=(--encrypt); else unset FLECK_PASSWORD; fi
"$bin" create "$work/disk" "${create_args[@]}" >/dev/null
"$bin" import "$work/disk" "$image" --threads "$threads" --quiet
image_sum=$(sha256sum < "$image" | cut -d' ' -f1)

seconds() {  # runs a command, prints its wall time in seconds
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}
fastest() {  # the smallest of the arguments
  printf '%s\n' "$@" | sort -g | head -1
}
check() {  # the copy must be the image
  [ "$(sha256sum < "$1" | cut -d' ' -f1)" = "$image_sum" ] || { echo "error: $2 differs from the image" >&2; exit 1; }
}

FLECK_NBDKIT_PLUGIN=$plugin "$bin" serve "$work/disk" --readonly --socket "$work/nbd.sock" \
  --threads "$threads" > "$work/uri" 2> "$work/serve.err" &
serve_pid=$!
for _ in $(seq 600); do [ -s "$work/uri" ] && break; sleep 0.1; done
uri=$(head -1 "$work/uri")
[ -n "$uri" ] || { cat "$work/serve.err" >&2; echo "error: fleck serve did not start" >&2; exit 1; }

export_times=() nbd_times=()
for _ in $(seq "$repeat"); do
  rm -f "$work/out"
  export_times+=("$(seconds "$bin" export "$work/disk" "$work/out" --threads "$threads" --quiet)")
  check "$work/out" "fleck export"
  rm -f "$work/out"
  # One connection (the plugin offers no multi-conn); nbdcopy keeps many requests in flight.
  # shellcheck disable=SC2086
  nbd_times+=("$(seconds nbdcopy ${NBDCOPY_ARGS:-} "$uri" "$work/out")")
  check "$work/out" "nbdcopy"
done
rm -f "$work/out"

export_s=$(fastest "${export_times[@]}")
nbd_s=$(fastest "${nbd_times[@]}")
mbps() { echo "scale=1; $image_bytes / $1 / 1000000" | bc; }
echo "disk: $image_bytes bytes, encrypted=$encrypt, threads=$threads, runs=$repeat, nbdcopy options: ${NBDCOPY_ARGS:-none}"
printf '%-28s %8s s %8s MB/s\n' "fleck export" "$export_s" "$(mbps "$export_s")"
printf '%-28s %8s s %8s MB/s\n' "nbdcopy from fleck serve" "$nbd_s" "$(mbps "$nbd_s")"
echo "ratio nbdcopy / export: $(echo "scale=2; $export_s / $nbd_s" | bc) (goal >= 0.85)"

random_seconds=${RANDOM_SECONDS:-15}
if [ "$random_seconds" -gt 0 ]; then
  for package in fio qemu-utils; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      { apt-get update -qq && apt-get install -y -qq "$package" >/dev/null; }
  done
  # IOPS of random 4 KiB reads from the NBD server at $1.
  iops() {
    fio --name=random --ioengine=nbd --uri="$1" --rw=randread --bs=4k \
      --iodepth="${RANDOM_DEPTH:-16}" --runtime="$random_seconds" --time_based \
      --size="$image_bytes" --output-format=json --output="$work/fio.json" >/dev/null 2>&1
    python3 -c 'import json, sys; print(round(json.load(sys.stdin)["jobs"][0]["read"]["iops"]))' \
      < "$work/fio.json"
  }
  secret="secret,id=sec0,data=$FLECK_PASSWORD"
  qemu-img convert -c -O qcow2 "$image" "$work/compressed.qcow2"
  # Making the LUKS key calibrates its derivation, which now and then fails on a busy
  # machine ("Unable to get accurate CPU usage"): made empty, retried, then filled.
  luks_opts="driver=qcow2,file.filename=$work/luks.qcow2,encrypt.key-secret=sec0"
  for _ in 1 2 3 4 5; do
    rm -f "$work/luks.qcow2"
    qemu-img create -q -f qcow2 --object "$secret" -o encrypt.format=luks,encrypt.key-secret=sec0 \
      "$work/luks.qcow2" "$image_bytes" && break
  done
  qemu-img convert -n -f raw --object "$secret" --target-image-opts "$image" "$luks_opts"
  qemu-nbd --read-only --persistent --socket "$work/compressed.sock" -f qcow2 \
    "$work/compressed.qcow2" 2>/dev/null &
  qemu_pids=$!
  qemu-nbd --read-only --persistent --socket "$work/luks.sock" --object "$secret" \
    --image-opts "$luks_opts" 2>/dev/null &
  qemu_pids="$qemu_pids $!"
  for _ in $(seq 100); do [ -S "$work/compressed.sock" ] && [ -S "$work/luks.sock" ] && break; sleep 0.1; done
  fleck_iops=$(iops "$uri")
  compressed_iops=$(iops "nbd+unix:///?socket=$work/compressed.sock")
  luks_iops=$(iops "nbd+unix:///?socket=$work/luks.sock")
  # shellcheck disable=SC2086
  kill $qemu_pids 2>/dev/null || true
  echo "random 4 KiB reads, ${RANDOM_DEPTH:-16} in flight, ${random_seconds} s each (IOPS):"
  printf '%-36s %10s\n' "fleck serve (encrypted=$encrypt)" "$fleck_iops" \
    "qemu-nbd, compressed qcow2" "$compressed_iops" "qemu-nbd, LUKS qcow2" "$luks_iops"
  echo "ratio fleck / compressed qcow2: $(echo "scale=2; $fleck_iops / $compressed_iops" | bc)"
fi
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
