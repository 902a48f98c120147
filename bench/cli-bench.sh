#!/usr/bin/env bash
# Import and export speed of the `fleck` tool on a generated 1 GiB disk image, with
# --threads 1 and --threads 2 side by side, and the peak memory of each run.
#
# Usage: bench/cli-bench.sh [FLECK_BINARY] [IMAGE_SIZE]
#   FLECK_BINARY  default: build/release/tools/fleck (this script builds nothing)
#   IMAGE_SIZE    default: 1G
# Environment:
#   THREADS="1 2"   thread counts to compare (the first one is the base of the ratios)
#   REPEAT=1        runs per measurement; the fastest counts (the machine may be shared)
#   ENCRYPT=1       0 for an unencrypted disk
#   SYNC=0          1 to include the import's final sync of the file system in its time
#   FLECK_SIZE=512K
#   KEEP_IMAGE=     a path: keep (and reuse) the generated image there
#
# The image comes from ../shared/bench/make-image.sh next to the repository when it is
# there (deterministic: 40% zero runs, 30% compressible, 30% random), else from the
# tool's own generator (fleck generate-image). Peak memory is the maximum resident set
# size from /usr/bin/time (Debian package `time`); the target is 64 MiB plus 4 flecks
# per thread.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$repo/build/release/tools/fleck}
size=${2:-1G}
threads_list=${THREADS:-1 2}
repeat=${REPEAT:-1}
encrypt=${ENCRYPT:-1}
sync_import=${SYNC:-0}
fleck_size=${FLECK_SIZE:-512K}

if [ ! -x "$bin" ]; then
  echo "error: no fleck binary at $bin (build it: cmake --preset release && cmake --build --preset release --target fleck-cli)" >&2
  exit 2
fi
timer=/usr/bin/time
if [ ! -x "$timer" ]; then
  echo "note: /usr/bin/time is missing (apt-get install time); peak memory is not measured" >&2
  timer=""
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/fleck-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

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
fleck_bytes=$(numfmt --from=iec "${fleck_size%iB}")

export FLECK_PASSWORD="fleck benchmark password"
create_args=(--size "$image_bytes" --fleck-size "$fleck_size")
if [ "$encrypt" = 1 ]; then create_args+=(--encrypt); else unset FLECK_PASSWORD; fi
import_args=()
[ "$sync_import" = 1 ] || import_args+=(--no-sync)

# Runs a command and prints "SECONDS PEAK_RSS_KIB CPU_SECONDS" (RSS and CPU are 0
# without /usr/bin/time). CPU time (user + system) shows how much of the machine the
# run got: on a shared machine a low CPU share explains a low speed-up.
measure() {
  if [ -n "$timer" ]; then
    "$timer" -f "%e %M %U %S" -o "$work/time" "$@" >/dev/null
    local elapsed rss user system
    read -r elapsed rss user system < "$work/time"
    echo "$elapsed $rss $(echo "$user + $system" | bc)"
  else
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    echo "$(echo "$end - $start" | bc) 0 0"
  fi
}

best() {  # best of REPEAT runs of: measure "$@"; the setup command runs before each
  local setup=$1; shift
  local best_time="" best_rss=0 best_cpu=0
  for _ in $(seq "$repeat"); do
    eval "$setup"
    read -r t rss cpu < <(measure "$@")
    if [ -z "$best_time" ] || [ "$(echo "$t < $best_time" | bc)" = 1 ]; then best_time=$t; best_rss=$rss; best_cpu=$cpu; fi
  done
  echo "$best_time $best_rss $best_cpu"
}

declare -A import_time import_rss import_cpu export_time export_rss export_cpu
for t in $threads_list; do
  disk="$work/disk-$t"
  setup="rm -rf '$disk'; '$bin' create '$disk' ${create_args[*]} >/dev/null"
  read -r import_time[$t] import_rss[$t] import_cpu[$t] < <(best "$setup" "$bin" import "$disk" "$image" --threads "$t" --quiet "${import_args[@]}")
  read -r export_time[$t] export_rss[$t] export_cpu[$t] < <(best "rm -f '$work/out'" "$bin" export "$disk" "$work/out" --threads "$t" --quiet)
  if ! cmp -s "$image" "$work/out"; then
    echo "error: the export with --threads $t differs from the image" >&2
    exit 1
  fi
  stored=$("$bin" info "$disk" --json | sed -n 's/.*"stored_bytes": \([0-9]*\).*/\1/p')
  ratio=$("$bin" info "$disk" --json | sed -n 's/.*"ratio": \([0-9.e-]*\).*/\1/p')
  rm -rf "$work/out" "$disk"
done

mbs() { echo "scale=1; $image_bytes / $1 / 1000000" | bc; }
echo
echo "fleck $("$bin" --version | sed 's/^fleck //'), image $(numfmt --to=iec "$image_bytes") ($image_bytes bytes), flecks of $fleck_size, lz4, $([ "$encrypt" = 1 ] && echo encrypted || echo unencrypted), $(nproc) cores"
echo "stored $(numfmt --to=iec "$stored"), ratio $ratio (stored bytes / bytes of the stored flecks)"
printf '%-8s %9s %8s %7s %11s   %9s %8s %7s %11s   %11s\n' threads "import s" "MB/s" "CPU %" "peak RSS" \
  "export s" "MB/s" "CPU %" "peak RSS" "RSS limit"
base=${threads_list%% *}
share() { echo "scale=0; 100 * $1 / $2" | bc; }
for t in $threads_list; do
  limit=$(( 64 * 1024 + 4 * fleck_bytes * t / 1024 ))
  printf '%-8s %9s %8s %7s %7s KiB   %9s %8s %7s %7s KiB   %7s KiB\n' "$t" \
    "${import_time[$t]}" "$(mbs "${import_time[$t]}")" "$(share "${import_cpu[$t]}" "${import_time[$t]}")" "${import_rss[$t]}" \
    "${export_time[$t]}" "$(mbs "${export_time[$t]}")" "$(share "${export_cpu[$t]}" "${export_time[$t]}")" "${export_rss[$t]}" \
    "$limit"
done
for t in $threads_list; do
  [ "$t" = "$base" ] && continue
  printf 'speed-up %s vs %s threads: import %.2fx (target 1.8x), export %.2fx (target 1.7x)\n' "$t" "$base" \
    "$(echo "${import_time[$base]} / ${import_time[$t]}" | bc -l)" "$(echo "${export_time[$base]} / ${export_time[$t]}" | bc -l)"
done
