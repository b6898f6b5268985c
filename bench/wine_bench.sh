#!/usr/bin/env bash
# kvb.exe through Wine's HID stack in the real-kernel virtual machine (scripts/vm-test.sh --wine)
# against the Linux kvb on the same simulated USB device in the same machine: put and get of
# 1 MiB each, as ratios, both with the device's input at one report per 4 ms (the emulated
# machine's Wine drops input faster than that, now and then even at that pace: the test itself
# runs at 8 ms). About 10 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
KVB_WINE_BENCH=1 KVB_VM_WINE_PACE_MS=${KVB_VM_WINE_PACE_MS:-4} bash scripts/vm-test.sh --wine | grep -E '^(bench|FAIL|vm-test|WINE RESULT)'
