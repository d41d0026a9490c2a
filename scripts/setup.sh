#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test kvzcam. Idempotent.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
need=()
pkgs=(cmake ninja-build g++ g++-multilib qemu-user googletest libgtest-dev libbenchmark-dev
      libjpeg62-turbo-dev libpng-dev clang-14 libclang-rt-14-dev libjpeg-turbo-progs python3)
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
# The 32-bit build's simulated camera links the 32-bit libjpeg-turbo.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need+=(libjpeg62-turbo-dev:i386)
fi
dpkg-query -W -f='${Status}' libjpeg62-turbo-dev:i386 2>/dev/null | grep -q "install ok installed" \
  || need+=(libjpeg62-turbo-dev:i386)
if [ ${#need[@]} -gt 0 ]; then
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${need[@]}"
fi
