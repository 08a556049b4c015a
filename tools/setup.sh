#!/usr/bin/env bash
# Installs every Debian package kxmp needs to build, test and run; with
# --program only those that building and running the program and its demo need
# (not the test tool chain). Idempotent and quiet when everything is already
# present.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libwxgtk3.2-dev xvfb xauth
  libudev-dev
  unixodbc-dev odbcinst
  libssl-dev libgmp-dev
)
if [ "${1:-}" != "--program" ]; then
  PACKAGES+=(googletest libgtest-dev libgmock-dev
             clang libclang-rt-14-dev libbenchmark-dev libsqliteodbc
             qemu-system-x86 linux-image-amd64 busybox-static udev)
fi

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
