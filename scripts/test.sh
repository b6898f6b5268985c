#!/usr/bin/env bash
# Builds everything and runs every test through ctest; then the link and file service inside a
# virtual machine against the simulated device as a real USB device; then the whole suite again
# built with AddressSanitizer and UndefinedBehaviorSanitizer; then the core tests built with
# ThreadSanitizer; then each fuzz target for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
export LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0

bash scripts/build.sh
ctest --test-dir build --output-on-failure -j2

echo "== the Debian package"
bash scripts/package-test.sh

echo "== the Windows backend and kvb.exe, cross-built, under Wine"
bash scripts/windows-test.sh

echo "== the Linux backend on a real kernel (QEMU)"
bash scripts/vm-test.sh

echo "== the suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DKV_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j2 >/dev/null
ctest --test-dir build-asan --output-on-failure -j2

echo "== the core tests under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DKV_SANITIZE_THREAD=ON -DKV_BUILD_UI=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j2 --target core_tests >/dev/null
ctest --test-dir build-tsan -L core --output-on-failure -j2

echo "== fuzz targets, ${KV_FUZZ_SECONDS:-10} s each"
bash scripts/fuzz.sh "${KV_FUZZ_SECONDS:-10}"
