#!/usr/bin/env bash
# fleck next to the tools people already keep disk images with, in one run on one
# machine: import and export speed, stored bytes and peak memory of each, every export
# checked against the image, and the primitive bound of fleck's own work (fleck-bound).
#
# Usage: bench/compare.sh [IMAGE]
#   IMAGE         an existing image file; without it one is generated with
#                 ../shared/bench/make-image.sh (deterministic) in the work folder
# Environment:
#   SIZE=1G       size of the generated image (e.g. SIZE=256M for a quick run)
#   REPEAT=1      runs per measurement; the median counts
#   SYNC=1        1: every import's time includes a final `sync` of the written data
#                 (fleck syncs itself, the others get `sync` after them); 0: no tool's
#                 time includes it (fleck runs with --no-sync; restic and borg still
#                 fsync their own files, which cannot be turned off)
#   THREADS=      fleck's --threads (default: the tool's default, the number of cores)
#   TOOLS="fleck bound restic borg qcow2 qcow2-luks"   what to run, in this order (the
#                 bound right after fleck, so that both see the same load)
#   FLECK=build/release/tools/fleck, BOUND=build/release/bench/fleck-bound
#   WORK=         work folder (default: a new one under $TMPDIR or /tmp, removed at exit)
#
# Missing Debian packages (restic, borgbackup, qemu-utils, time) are installed with
# apt-get; missing fleck binaries are built with the release preset. MB/s is 10^6 bytes
# of the image per second of wall-clock time; MiB is 2^20 bytes. The machine may be
# shared: the load average is printed at the start and the end.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
size=${SIZE:-1G}
repeat=${REPEAT:-1}
sync_import=${SYNC:-1}
tools=${TOOLS:-fleck bound restic borg qcow2 qcow2-luks}
fleck=${FLECK:-$repo/build/release/tools/fleck}
bound=${BOUND:-$repo/build/release/bench/fleck-bound}
cores=$(nproc)
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
failed=0

# --- what the run needs -----------------------------------------------------------------
packages=(time restic borgbackup qemu-utils python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing missing packages: ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    "${missing[@]}" >&2
fi
if [ ! -x "$fleck" ] || [ ! -x "$bound" ]; then
  echo "building fleck-cli and fleck-bound (release preset)" >&2
  (cd "$repo" && cmake --preset release >&2 &&
    cmake --build --preset release --target fleck-cli fleck-bound >&2)
fi

work=${WORK:-$(mktemp -d "${TMPDIR:-/tmp}/fleck-compare-XXXXXX")}
mkdir -p "$work"
[ -n "${WORK:-}" ] || trap 'rm -rf "$work"' EXIT

if [ $# -ge 1 ]; then
  image=$(realpath "$1")
else
  image=$work/image
  echo "generating a $size image with make-image.sh" >&2
  "$repo/../shared/bench/make-image.sh" "$image" "$size" >&2
fi
image_bytes=$(stat -c %s "$image")
echo "sha256 of the image" >&2
image_sha=$(sha256sum "$image" | cut -d' ' -f1)

password_file=$work/password
echo "compare benchmark password" > "$password_file"

# --- measuring --------------------------------------------------------------------------
# time_cmd COMMAND: runs the command line in bash and prints "SECONDS PEAK_RSS_KIB
# CPU_SECONDS": wall-clock time, the resident high-water mark of the largest process in
# it, and the CPU time (user + system) of all of them, which moves far less with the
# machine's load than the wall-clock time.
time_cmd() {
  /usr/bin/time -f '%e %M %U %S' -o "$work/time" bash -c "$1" >"$work/log" 2>&1 || {
    echo "FAILED: $1" >&2
    tail -5 "$work/log" >&2
    echo "fail fail fail"
    return
  }
  awk '{ print $1, $2, $3 + $4 }' "$work/time"
}

median() {  # the median of the arguments ("fail" when any is)
  printf '%s\n' "$@" | sort -g | awk '/fail/ { bad = 1 } { v[NR] = $1 }
    END { if (bad) print "fail"; else if (NR % 2) print v[(NR + 1) / 2];
          else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A imp_s imp_rss imp_cpu exp_s exp_rss exp_cpu stored apparent sha_ok label
declare -A bound_mbs=() bound_runs=()
# run_tool NAME LABEL SETUP IMPORT EXPORT STORE: SETUP runs before each import (untimed),
# IMPORT and EXPORT are timed, the export writes $work/out, STORE is what du measures.
run_tool() {
  local name=$1 what=$2 setup=$3 import=$4 export=$5 store=$6
  local times=() rsss=() cpus=() r t rss cpu ok=yes
  label[$name]=$what
  echo "== $name: $what" >&2
  [ "$sync_import" = 1 ] && import="$import && sync"
  for r in $(seq "$repeat"); do
    bash -c "$setup" >"$work/log" 2>&1 || { echo "FAILED setup: $setup" >&2; tail -5 "$work/log" >&2; }
    sync
    read -r t rss cpu < <(time_cmd "$import")
    times+=("$t"); rsss+=("$rss"); cpus+=("$cpu")
  done
  imp_s[$name]=$(median "${times[@]}"); imp_rss[$name]=$(median "${rsss[@]}")
  imp_cpu[$name]=$(median "${cpus[@]}")
  stored[$name]=$( (du -s -B1 "$store" 2>/dev/null || echo 0) | cut -f1)
  apparent[$name]=$( (du -s -b "$store" 2>/dev/null || echo 0) | cut -f1)
  times=(); rsss=(); cpus=()
  for r in $(seq "$repeat"); do
    rm -f "$work/out"
    read -r t rss cpu < <(time_cmd "$export")
    times+=("$t"); rsss+=("$rss"); cpus+=("$cpu")
    if [ "$t" = fail ] || [ "$(sha256sum "$work/out" 2>/dev/null | cut -d' ' -f1)" != "$image_sha" ]; then
      ok=MISMATCH
      failed=1
      echo "!!! $name: the export differs from the image (run $r)" >&2
    fi
  done
  exp_s[$name]=$(median "${times[@]}"); exp_rss[$name]=$(median "${rsss[@]}")
  exp_cpu[$name]=$(median "${cpus[@]}")
  sha_ok[$name]=$ok
  rm -rf "$work/out" "$store" "$work/cache"
}

q() { printf '%q' "$1"; }
img=$(q "$image")
out=$(q "$work/out")
pw=$(q "$password_file")

for tool in $tools; do
  case $tool in
    fleck)
      disk=$(q "$work/fleck")
      threads_arg=""
      [ -n "${THREADS:-}" ] && threads_arg="--threads $THREADS"
      sync_arg=""
      [ "$sync_import" = 1 ] || sync_arg="--no-sync"
      run_tool fleck "lz4 + AES-256-CBC, 512 KiB flecks, ${THREADS:-$cores} threads" \
        "rm -rf $disk && $(q "$fleck") create $disk --size $image_bytes --compress lz4 --encrypt --password-file $pw" \
        "$(q "$fleck") import $disk $img --quiet --password-file $pw $threads_arg $sync_arg" \
        "$(q "$fleck") export $disk $out --quiet --password-file $pw $threads_arg" \
        "$work/fleck"
      ;;
    restic)
      export RESTIC_REPOSITORY=$work/restic RESTIC_PASSWORD_FILE=$password_file
      export RESTIC_CACHE_DIR=$work/cache
      run_tool restic "$(restic version | cut -d' ' -f1-2), defaults (AES-256 + Poly1305, compression auto)" \
        "rm -rf $(q "$RESTIC_REPOSITORY") $(q "$RESTIC_CACHE_DIR") && restic init" \
        "restic backup --quiet $img" \
        "restic dump latest $img > $out" \
        "$work/restic"
      ;;
    borg)
      export BORG_REPO=$work/borg BORG_PASSPHRASE="compare benchmark password"
      export BORG_BASE_DIR=$work/cache BORG_DISPLAY_PASSPHRASE=no
      export BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK=yes BORG_RELOCATED_REPO_ACCESS_IS_OK=yes
      # Archived as "image" from the image's folder, so that extract finds it by that name.
      run_tool borg "$(borg --version), repokey, --compression lz4" \
        "rm -rf $(q "$BORG_REPO") $(q "$BORG_BASE_DIR") && borg init --encryption=repokey" \
        "cd $(q "$(dirname "$image")") && borg create --compression lz4 ::img $(q "$(basename "$image")")" \
        "borg extract --stdout ::img $(q "$(basename "$image")") > $out" \
        "$work/borg"
      ;;
    qcow2)
      qc=$(q "$work/image.qcow2")
      run_tool qcow2 "$(qemu-img --version | head -1 | cut -d' ' -f1-3), qcow2 -c (zlib)" \
        "rm -f $qc" \
        "qemu-img convert -c -O qcow2 $img $qc" \
        "qemu-img convert -O raw $qc $out" \
        "$work/image.qcow2"
      ;;
    qcow2-luks)
      ql=$(q "$work/luks.qcow2")
      secret="--object secret,id=sec0,file=$pw"
      opened="driver=qcow2,file.filename=$ql,encrypt.key-secret=sec0"
      # The encrypted file is made untimed, as the other tools' repositories are: making
      # it calibrates the key derivation (about 2 s), and that calibration sometimes
      # fails on a loaded machine ("Unable to get accurate CPU usage"), so it is retried.
      # The timed import opens it (one key derivation) and converts into it.
      run_tool qcow2-luks "qcow2 + LUKS (aes-256-xts, default key iteration time), not compressed" \
        "for i in 1 2 3; do rm -f $ql; qemu-img create -f qcow2 $secret -o encrypt.format=luks,encrypt.key-secret=sec0 $ql $image_bytes && break; done" \
        "qemu-img convert -n -f raw $secret --target-image-opts $img $opened" \
        "qemu-img convert $secret --image-opts $opened -O raw $out" \
        "$work/luks.qcow2"
      ;;
    bound)
      echo "== bound: fleck-bound with 1 and $cores threads" >&2
      for r in $(seq "$repeat"); do
        while read -r kind threads mbs cpu; do
          [ "$kind" = "#" ] && continue
          bound_runs[$kind-$threads]+="$mbs "
          bound_runs[cpu-$kind-$threads]+="$cpu "
        done < <("$bound" "$image" 1 "$cores")
      done
      for k in "${!bound_runs[@]}"; do
        # shellcheck disable=SC2086
        bound_mbs[$k]=$(median ${bound_runs[$k]})
      done
      ;;
    *) echo "unknown tool $tool" >&2; exit 2 ;;
  esac
done

# --- the table --------------------------------------------------------------------------
calc() { awk "BEGIN { v = $1; printf \"%.${2:-1}f\", v }" 2>/dev/null || echo "-"; }
mbs() {
  if [ "$1" = fail ]; then echo FAILED; else calc "$image_bytes / $1 / 1e6"; fi
}
mib() { calc "$1 / 1048576"; }

echo
echo "Image: $image ($image_bytes bytes, sha256 ${image_sha:0:16}…), $cores cores," \
  "REPEAT=$repeat (median), $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Import times $([ "$sync_import" = 1 ] && echo "include" || echo "exclude") a final sync" \
  "of the written data; export times do not (outputs stay in the page cache). The image is" \
  "in the page cache."
echo "Load average at start: $load_start; at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| tool | import MB/s | export MB/s | stored MiB (du) | apparent MiB | peak RSS MiB import / export | CPU s import / export | sha256 | fleck ÷ tool, import | fleck ÷ tool, export |"
echo "|---|---:|---:|---:|---:|---:|---:|---|---:|---:|"
fi_mbs="" fe_mbs=""
if [ -n "${imp_s[fleck]:-}" ]; then fi_mbs=$(mbs "${imp_s[fleck]}"); fe_mbs=$(mbs "${exp_s[fleck]}"); fi
ratio() { [[ "$1" =~ ^[0-9.]+$ && "$2" =~ ^[0-9.]+$ ]] && calc "$1 / $2" 2 || echo "-"; }
for tool in $tools; do
  [ "$tool" = bound ] && continue
  im=$(mbs "${imp_s[$tool]}"); em=$(mbs "${exp_s[$tool]}")
  rss="$(mib "${imp_rss[$tool]/fail/0} * 1024") / $(mib "${exp_rss[$tool]/fail/0} * 1024")"
  ok=${sha_ok[$tool]}
  [ "$ok" = yes ] && ok=OK || ok="**$ok**"
  echo "| $tool ($(echo "${label[$tool]}" | tr '|' '/')) | $im | $em | $(mib "${stored[$tool]}") |" \
    "$(mib "${apparent[$tool]}") | $rss | ${imp_cpu[$tool]} / ${exp_cpu[$tool]} | $ok | $(ratio "$fi_mbs" "$im") | $(ratio "$fe_mbs" "$em") |"
done
if [ ${#bound_mbs[@]} -gt 0 ]; then
  for t in 1 "$cores"; do
    bi=${bound_mbs[import-$t]:-}; be=${bound_mbs[export-$t]:-}
    echo "| bound, $t thread(s) (fleck-bound: the primitives, no files) | $bi | $be | – | – | – |" \
      "${bound_mbs[cpu-import-$t]:-} / ${bound_mbs[cpu-export-$t]:-} | – |" \
      "$(ratio "$fi_mbs" "$bi") | $(ratio "$fe_mbs" "$be") |"
  done
  for t in 1 "$cores"; do
    bi=${bound_mbs[import-batched-$t]:-}; be=${bound_mbs[export-batched-$t]:-}
    [ -z "$bi" ] && continue
    echo "| bound batched, $t thread(s) (fleck-bound: 16 flecks per MD5 and AES batch) | $bi | $be | – | – | – |" \
      "${bound_mbs[cpu-import-batched-$t]:-} / ${bound_mbs[cpu-export-batched-$t]:-} | – |" \
      "$(ratio "$fi_mbs" "$bi") | $(ratio "$fe_mbs" "$be") |"
  done
  echo
  echo "fleck's share of the bound at $cores threads: import $(ratio "$fi_mbs" "${bound_mbs[import-$cores]:-}")," \
    "export $(ratio "$fe_mbs" "${bound_mbs[export-$cores]:-}"); by CPU time (bound's CPU s ÷" \
    "fleck's): import $(ratio "${bound_mbs[cpu-import-$cores]:-}" "${imp_cpu[fleck]:-}")," \
    "export $(ratio "${bound_mbs[cpu-export-$cores]:-}" "${exp_cpu[fleck]:-}")"
fi
if [ "$failed" != 0 ]; then
  echo
  echo "**FAILURE: at least one export differs from the image (see sha256 above).**"
  exit 1
fi
