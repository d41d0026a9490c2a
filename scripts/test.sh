#!/usr/bin/env bash
# Builds every preset and runs every test: default x86-64, asan, x86 32-bit under qemu-i386, the
# stress label under ThreadSanitizer (tsan), and each fuzz target for a minute from its seeds (fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
presets=(${KVZ_PRESETS:-default asan x86 tsan fuzz})
status=0
for p in "${presets[@]}"; do
  echo "=== preset $p ==="
  case "$p" in
    fuzz)
      bash scripts/fuzz.sh || status=1
      ;;
    tsan)
      # Only the stress tests run under ThreadSanitizer; the rest of the suite runs in the others.
      cmake --preset tsan >/dev/null
      mapfile -t stress < <(ctest --test-dir build-tsan -N -L stress | sed -n 's/^ *Test *#[0-9]*: *//p')
      cmake --build --preset tsan -j "$(nproc)" --target "${stress[@]}"
      ctest --preset tsan -L stress || status=1
      ;;
    *)
      cmake --preset "$p" >/dev/null
      cmake --build --preset "$p" -j "$(nproc)"
      ctest --preset "$p" || status=1
      ;;
  esac
done
exit $status
