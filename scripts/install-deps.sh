#!/usr/bin/env bash
# Installs the Debian packages that building and testing fleck needs, and only those
# that are missing, so that a fresh machine needs nothing else. nbdkit and its plugin
# headers build and run the NBD plugin; qemu-utils (qemu-img, qemu-io) and libnbd-bin
# (nbdcopy, nbdinfo) are the clients the NBD tests use. libipsec-mb-dev is the
# multi-buffer AES that keel's batch encryption runs on.
#
#   scripts/install-deps.sh        what the build and the tests need
#   scripts/install-deps.sh fuzz   that, and clang with libFuzzer's runtime (fuzz preset)
set -euo pipefail

packages=(cmake ninja-build g++ pkgconf libgtest-dev libgmock-dev libbenchmark-dev
          libssl-dev zlib1g-dev liblz4-dev liblzma-dev libcli11-dev libcurl4-openssl-dev
          nlohmann-json3-dev libipsec-mb-dev nbdkit nbdkit-plugin-dev qemu-utils libnbd-bin)

# Only for scripts/run-fuzz.sh: the normal test run does not pay for them.
fuzz_packages=(clang libclang-rt-14-dev)

case "${1:-}" in
  "") ;;
  fuzz) packages+=("${fuzz_packages[@]}") ;;
  *) echo "usage: $0 [fuzz]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
