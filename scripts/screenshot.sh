#!/usr/bin/env bash
# Starts the program under a virtual X server against the simulated device and saves a picture of
# the screen. Usage: scripts/screenshot.sh [OUT.png] [program arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-screenshot.png}
shift || true
[ $# -gt 0 ] || set -- --simulate
bash scripts/build.sh >/dev/null
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1100x900x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $program $xvfb 2>/dev/null || true' EXIT
sleep 1
DISPLAY=$display build/kvbFileAccess "$@" >/dev/null 2>&1 &
program=$!
sleep "${KV_SHOT_DELAY:-4}"
DISPLAY=$display build/tools/grab_screen "$out"
echo "saved $out"
