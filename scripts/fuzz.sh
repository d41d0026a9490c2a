#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target from its seeds for KVZ_FUZZ_SECONDS seconds
# (default 60), KVZ_FUZZ_JOBS targets at a time. Exits non-zero if any target finds a crash, a
# sanitizer report, a leak or a time-out; the reproducer stays in build-fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${KVZ_FUZZ_SECONDS:-60}
jobs=${KVZ_FUZZ_JOBS:-4}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
work=build-fuzz/fuzz-run
rm -rf "$work"
mkdir -p "$work/seeds" build-fuzz/findings
python3 fuzz/make_seeds.py "$work/seeds"

run_target() {
  local bin=$1 name corpus findings
  name=${bin##*/kvzcam-fuzz-}
  corpus="$work/corpus/$name"
  findings="build-fuzz/findings/$name"
  mkdir -p "$corpus" "$findings"
  local extra=()
  [ "$name" = bmp_overlay ] && extra+=(-max_len=921658)
  if "$bin" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$findings/" "${extra[@]}" "$corpus" "$work/seeds/$name" \
       >"$work/$name.log" 2>&1; then
    echo "fuzz $name: $(grep -E '^stat::number_of_executed_units' "$work/$name.log" | awk '{print $2}') runs, no finding"
  else
    echo "fuzz $name: FINDING (log $work/$name.log, reproducer in $findings/)"
    tail -40 "$work/$name.log"
    return 1
  fi
}

status=0
pids=()
for bin in build-fuzz/fuzz/kvzcam-fuzz-*; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || status=1; done
  run_target "$bin" &
done
while [ "$(jobs -rp | wc -l)" -gt 0 ]; do wait -n || status=1; done
wait || status=1
exit $status
