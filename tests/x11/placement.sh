#!/bin/sh
# The windows on a small screen with a large font setting (QT_FONT_DPI=168): the main window, the
# about box, the editor and the log window, frames and title bars included, lie inside the screen,
# each opened from the keyboard as a person would. Run by xvfb-run (1000x700, 1024x700 or
# 1280x900 screens), under with-wm.sh; the program is the first argument.
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
# The about box, opened with Alt and then A (the menu bar's keyboard mode), and closed with Enter
# on its OK button.
xdotool windowactivate --sync "$main" key alt
sleep 0.5
xdotool key a
about=$(timeout 10 xdotool search --sync --name '^About$' | head -1)
if [ -n "$about" ]; then
  sleep 2
  inside "the about box" "$about"
  xdotool windowactivate --sync "$about" key Return
  sleep 1
else
  echo "FAILED: Alt+A did not open the about box"
  status=1
fi
# The editor, opened with Enter on a file: the path field (F6 from the terminal pane), a folder
# typed there, then Enter on its first file.
xdotool windowactivate --sync "$main" key F6
sleep 0.5
xdotool type --delay 50 "/Config"
xdotool key Return
sleep 1
xdotool key Home Down Return
editor=$(timeout 10 xdotool search --sync --name '^Edit File: /Config/config.txt' | head -1)
if [ -n "$editor" ]; then
  sleep 3
  inside "the editor" "$editor"
  xdotool windowactivate --sync "$editor" key Escape
  sleep 1
else
  echo "FAILED: Enter on /Config/config.txt did not open the editor"
  status=1
fi
# The log window, opened from its menu with Alt+L as a person would.
xdotool windowactivate --sync "$main" key alt+l
log=$(timeout 20 xdotool search --sync --name '^Log$' | head -1)
[ -n "$log" ] || { echo "FAILED: Alt+L did not open the log window"; exit 1; }
sleep 3
inside "the log window" "$log"
exit $status
