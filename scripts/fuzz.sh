#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) into
# build-fuzz/ and runs each for SECONDS (default 10; use 600 or more for a long run by hand).
# The committed seeds in fuzz/corpus/ are copied into build-fuzz/corpus/, which grows as it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
bash scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKV_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2
export QT_QPA_PLATFORM=offscreen
export LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0
status=0
for target in fuzz_reports fuzz_console fuzz_listing fuzz_download fuzz_panes fuzz_names fuzz_pc_text; do
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus"
  cp -n fuzz/corpus/$target/* "$corpus"/ 2>/dev/null || true
  log=build-fuzz/$target.log
  if build-fuzz/fuzz/$target "$corpus" -max_total_time="$seconds" -rss_limit_mb=2048 \
       -timeout=20 -print_final_stats=1 >"$log" 2>&1; then
    runs=$(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    echo "$target: ${runs:-?} executions in ${seconds} s, no crash"
  else
    echo "$target: FAILED (see $log)"; tail -30 "$log"; status=1
  fi
done
exit $status
