#!/bin/sh
# The editor's save stays on the device it opened the file from, with the real program on an X
# server with a window manager, driven from another X client (xdotool) as a person would:
#  - two simulated devices on PC folders: A (the first, which the window takes) and B;
#  - A's /Edit/cfg.txt opened in the editor from the keyboard, a word typed;
#  - A leaves the bus (a scheduled unplug of the first device, KVB_SIM_FAULTS_1) while the
#    editor is open; Ctrl+S must be refused with a message, nothing written to B, the editor
#    still open with the change unsaved (its title keeps the " *");
#  - A comes back: Ctrl+S stores the typed text in A's file, and the title loses the " *".
# Arguments: the program. Starts its own X server (xvfb-run) and window manager (with-wm.sh);
# exits 77 (skipped) when one of the X tools is not installed.
program=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/checks.sh"
on_x 1024x768 "$here/editor_unplug.sh" "$@"

# A leaves the bus this long after the program's start, for this long. The editor must be open
# with the change typed before then: usually within 3 s, 25 s on a loaded machine.
unplug_at=${KV_UNPLUG_AT:-50000}
unplug_for=${KV_UNPLUG_FOR:-8000}

work=$(mktemp -d)
mkdir -p "$work/a/Edit" "$work/b/Edit" "$work/b-before"
printf 'from A' >"$work/a/Edit/cfg.txt"
printf 'from B' >"$work/b/Edit/cfg.txt"
printf 'other' >"$work/b/other.txt"
cp -R "$work/b/." "$work/b-before"

start=$(($(date +%s%N) / 1000000))
elapsed() { echo $(($(date +%s%N) / 1000000 - start)); }
KVB_SIM_FAULTS_1="unplug-at=$unplug_at;unplug-for=$unplug_for" \
  "$program" --simulate "$work/a" --simulate "$work/b" >"$work/out.txt" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$work"' EXIT

until_elapsed() { while [ "$(elapsed)" -lt "$1" ]; do sleep 0.2; done; }
b_unchanged() { diff -r "$work/b-before" "$work/b" >/dev/null; }
a_saved() { grep -q 'changed' "$work/a/Edit/cfg.txt" && grep -q 'from A' "$work/a/Edit/cfg.txt"; }
say_times() { echo "at $(elapsed) ms: $1"; }

within 60 window '^Kovrin Files$' || { echo "FAILED: no main window"; cat "$work/out.txt"; exit 1; }
main=$(window '^Kovrin Files$')
say_times "the main window is shown"
# The file list lists A's root once the window has taken A.
# The window takes A and lists it shortly after it is shown; a try made before that is repeated.
sleep 2
opened=1
for attempt in 1 2 3 4 5; do
  xdotool windowactivate --sync "$main" key F6
  sleep 0.5
  xdotool type --delay 50 "/Edit"
  xdotool key Return
  sleep 1
  xdotool key Home Down Return
  if within 8 window '^Edit File: /Edit/cfg.txt$'; then opened=0; break; fi
  say_times "no editor yet (try $attempt)"
done
check $opened "Enter on /Edit/cfg.txt opened the editor"
[ $opened = 0 ] || exit 1
editor=$(window '^Edit File: /Edit/cfg.txt$')
say_times "the editor is open"
xdotool windowactivate --sync "$editor" key ctrl+End
xdotool type --delay 50 " changed"
within 20 window '^Edit File: /Edit/cfg.txt \*$'
check $? "the typed change shows in the editor's title"
ready=$(elapsed)
[ "$ready" -lt $((unplug_at - 1000)) ]
check $? "the change was typed ($ready ms) before A leaves the bus ($unplug_at ms)"
[ $status = 0 ] || exit 1

# A is gone; the window notices within its poll. Ctrl+S in the editor.
until_elapsed $((unplug_at + 3000))
say_times "A has left the bus; Ctrl+S"
xdotool windowactivate --sync "$editor" key ctrl+s
within 60 window '^Edit$'
check $? "the save was refused with a message"
b_unchanged || { echo "FAILED: the save went to B:"; cat "$work/b/Edit/cfg.txt"; echo; exit 1; }
echo "ok: nothing was written to B's file system"
window '^Edit File: /Edit/cfg.txt \*$' >/dev/null
check $? "the editor is still open with the change unsaved"
grep -q 'changed' "$work/a/Edit/cfg.txt"
check $((1 - $?)) "A's file is not changed while it is away"
say_times "the refusal was checked"

# A is back: Ctrl+S stores the text in A's file. Each refusal while the window has not found A
# yet is closed with Enter and the save tried again.
until_elapsed $((unplug_at + unplug_for))
saved=1
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  box=$(window '^Edit$')
  [ -n "$box" ] && xdotool windowactivate --sync "$box" key Return
  within 5 sh -c "! xdotool search --name '^Edit\$' | grep -q ."
  xdotool windowactivate --sync "$editor" key ctrl+s
  if within 10 a_saved; then saved=0; break; fi
done
check $saved "Ctrl+S after A came back stored the change in A's file"
within 10 window '^Edit File: /Edit/cfg.txt$'
check $? "the editor's title says it is saved"
b_unchanged
check $? "B's file system is still unchanged"
say_times "done"
exit $status
