#!/usr/bin/env bash
# Installs every Debian package kxmp needs to build, test and run. Idempotent and
# quiet when everything is already present.
set -euo pipefail

PACKAGES=(
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libwxgtk3.2-dev xvfb xauth
  libudev-dev
  unixodbc-dev odbcinst libsqliteodbc
  libssl-dev libgmp-dev
  qemu-system-x86 linux-image-amd64 busybox-static udev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
