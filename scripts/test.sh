#!/usr/bin/env bash
# Builds every preset (default x86-64, asan, x86 32-bit under qemu-i386) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
presets=(${KVZ_PRESETS:-default asan x86})
status=0
for p in "${presets[@]}"; do
  echo "=== preset $p ==="
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" -j "$(nproc)"
  ctest --preset "$p" || status=1
done
exit $status
