#!/bin/sh
# The windows on a small screen with a large font setting (QT_FONT_DPI=168): the main window and
# the log window, frames and title bars included, lie inside the screen. Run by xvfb-run with a
# 1000x700 screen, under with-wm.sh; the program is the first argument.
program=$1
QT_FONT_DPI=168 QT_QPA_PLATFORM=xcb "$program" --simulate >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null' EXIT
screen=$(xdpyinfo | sed -n 's/^ *dimensions: *\([0-9]*\)x\([0-9]*\) pixels.*/\1 \2/p')
status=0
inside() { # title window-id
  set -- "$1" "$2" $screen
  # The client's place and size, grown by the frame the window manager says it drew around it
  # (less the frame window's one-pixel X border, which the toolkit cannot see).
  extents=$(xprop -id "$2" _NET_FRAME_EXTENTS | sed -n 's/.*= *//p' | tr -d ',')
  [ -n "$extents" ] || { echo "FAILED: $1 has no frame from the window manager"; status=1; return; }
  geometry=$(xwininfo -id "$2" | awk -v e="$extents" 'BEGIN {split(e, f, " ")}
    /Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF}
    END {print x - f[1] + 1, y - f[3] + 1, w + f[1] + f[2] - 2, h + f[3] + f[4] - 2}')
  set -- "$1" $geometry "$3" "$4"
  if [ "$2" -ge 0 ] && [ "$3" -ge 0 ] && [ $(($2 + $4)) -le "$6" ] && [ $(($3 + $5)) -le "$7" ]; then
    echo "ok: $1 at $2,$3 size $4x$5 inside the $6x$7 screen"
  else
    echo "FAILED: $1 at $2,$3 size $4x$5 leaves the $6x$7 screen"
    status=1
  fi
}
main=$(timeout 20 xdotool search --sync --name '^Kovrin Files$' | head -1)
[ -n "$main" ] || { echo "FAILED: no main window"; exit 1; }
sleep 3
inside "the main window" "$main"
# The log window, opened from its menu with Alt+L as a person would.
xdotool windowactivate --sync "$main" key alt+l
log=$(timeout 20 xdotool search --sync --name '^Log$' | head -1)
[ -n "$log" ] || { echo "FAILED: Alt+L did not open the log window"; exit 1; }
sleep 3
inside "the log window" "$log"
exit $status
