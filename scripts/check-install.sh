#!/usr/bin/env bash
# Builds the library as a person would (plain CMake, Release, no presets and so no
# -Werror), installs it below a fresh prefix, and builds and runs examples/ against
# that install the way an outside project does: find_package(fleck) and nothing else.
# FLECK_EXAMPLE_S3=s3://bucket/prefix (an existing bucket, with the AWS_* variables)
# makes the second example keep a disk there as well.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/fleck-install-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
jobs=${JOBS:-$(nproc)}
# As a normal user: run as root (CI), everything runs as nobody, so an install that
# wrote outside its prefix would fail here.
as_user=()
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  chown -R 65534:65534 "$work"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work")
  if ! "${as_user[@]}" test -r "$PWD/CMakeLists.txt" -a -w "$work"; then
    echo "install check: nobody cannot read $PWD; checking as $(id -un) instead" >&2
    as_user=()
  fi
fi

"${as_user[@]}" cmake -S . -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DFLECK_BUILD_TESTS=OFF -DFLECK_BUILD_BENCHMARKS=OFF -DFLECK_BUILD_TOOLS=OFF >/dev/null
"${as_user[@]}" cmake --build "$work/build" -j "$jobs" >/dev/null
"${as_user[@]}" cmake --install "$work/build" --prefix "$work/prefix" >/dev/null
# Nothing may land outside the prefix: everything installed is below it.
"${as_user[@]}" cmake -S examples -B "$work/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
"${as_user[@]}" cmake --build "$work/examples" -j "$jobs" >/dev/null
"${as_user[@]}" "$work/examples/fleck-example-snapshot" "$work/disks"
head -c $((24 * 1024 * 1024)) /dev/urandom >"$work/image"
[ ${#as_user[@]} -eq 0 ] || chown 65534:65534 "$work/image"
"${as_user[@]}" "$work/examples/fleck-example-backup" "$work/image" "$work/backup"
echo "install check: the installed package builds and runs examples/"
