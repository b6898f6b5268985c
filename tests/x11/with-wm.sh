#!/bin/sh
# Runs a program on the X server of xvfb-run with a window manager, as on a desktop.
openbox >/dev/null 2>&1 &
wm=$!
sleep 1
"$@"
status=$?
kill $wm 2>/dev/null
exit $status
