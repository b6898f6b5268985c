#!/usr/bin/env bash
# Builds the program and starts it: against the attached device, or against the built-in
# simulated device when none is attached. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
program=build/kvbFileAccess
if [ ! -x "$program" ]; then
  echo "Built the core and its tests; the program's window is not part of this build yet."
  exit 0
fi
if [ $# -eq 0 ] && ! grep -qsi '^HID_ID=0003:000016D0:0000064E' /sys/class/hidraw/*/device/uevent; then
  exec "$program" --simulate
fi
exec "$program" "$@"
