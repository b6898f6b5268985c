#!/bin/sh
# File > Sync Folder... and keeping in step, with the real program on an X server with a window
# manager, driven from another X client (xdotool) as a person would:
#  - a PC folder and a simulated device synced once by kvb (the record the window then finds);
#  - since then a file changed on the PC, another on both sides, a new one on the PC;
#  - /Lua shown in the window, then the dialog from the keyboard: the pair chosen from those
#    used before (kvb's record; nothing is paired until the user chooses), Preview, keeping in
#    step ticked, Sync: the
#    changed and new files go, the conflict stays, so does the file only on the device;
#  - an editor's save (a new file renamed over the old one, then written again): the file
#    reaches the device while the window is left alone.
# Arguments: the program, kvb, and the screen grabber; with KV_SHOTS set, pictures of the
# preview and of keeping in step go into that folder. Starts its own X server (xvfb-run) and
# window manager (with-wm.sh); exits 77 (skipped) when one of the X tools is not installed.
program=$1
kvb=$2
grab=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/checks.sh"
on_x 1100x820 "$here/sync_watch.sh" "$@"

work=$(mktemp -d -t kovrin.XXXXXX)
mkdir -p "$work/dev/Lua" "$work/proj/lib" "$work/state"
export XDG_STATE_HOME="$work/state"
for f in main.lua conf.lua lib/util.lua; do printf -- '-- %s\n' "$f" >"$work/proj/$f"; done
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$work"' EXIT

has() { grep -q "$2" "$work/dev/Lua/$1"; }
shot() { [ -n "$KV_SHOTS" ] && [ -n "$grab" ] && "$grab" "$KV_SHOTS/$1" && echo "saved $1"; }

"$kvb" --simulate "$work/dev" sync up "$work/proj" /Lua >"$work/kvb.txt" 2>&1
check $? "kvb synced the folder first: $(tail -1 "$work/kvb.txt")"
# Since then: changed on the PC, changed on both sides, new on the PC.
sleep 1
printf -- '-- main.lua\nprint("two")\n' >"$work/proj/main.lua"
printf -- '-- conf.lua, the PC\n' >"$work/proj/conf.lua"
printf -- '-- conf.lua, the device\n' >"$work/dev/Lua/conf.lua"
touch -d '2020-01-02 03:04:06' "$work/dev/Lua/conf.lua"
printf -- '-- new.lua\n' >"$work/proj/lib/new.lua"
printf 'backup\n' >"$work/proj/main.lua~"
printf -- '-- old.lua\n' >"$work/dev/Lua/old.lua"

"$program" --simulate "$work/dev" >"$work/out.txt" 2>&1 &
pid=$!
within 60 window '^Kovrin Files$' || { echo "FAILED: no main window"; cat "$work/out.txt"; exit 1; }
main=$(window '^Kovrin Files$')
sleep 2
xdotool windowactivate --sync "$main" key F6
sleep 0.5
xdotool type --delay 50 "/Lua"
xdotool key Return
sleep 1
opened=1
for attempt in 1 2 3 4 5; do
  xdotool windowactivate --sync "$main" key alt+f
  sleep 0.5
  xdotool key y
  if within 8 window '^Sync Folder$'; then opened=0; break; fi
  xdotool key Escape
done
check $opened "File > Sync Folder... opened the dialog"
[ $opened = 0 ] || exit 1
dialog=$(window '^Sync Folder$')
xdotool windowactivate --sync "$dialog" key alt+u
sleep 0.3
xdotool key Down
sleep 0.3
xdotool key alt+p
sleep 2
shot sync-preview.png
xdotool windowactivate --sync "$dialog" key alt+k
sleep 0.3
xdotool key alt+s
within 20 sh -c "! xdotool search --name '^Sync Folder\$' | grep -q ."
check $? "Sync closed the dialog"
within 20 has main.lua 'two'
check $? "the file changed on the PC went"
within 5 has lib/new.lua 'new'
check $? "the new file went, into its new folder"
has conf.lua 'the device'
check $? "the conflict was left as it was on the device"
has old.lua 'old'
check $? "the file only on the device was kept (deletes are off)"
[ ! -e "$work/dev/Lua/main.lua~" ]
check $? "the ignored backup did not go"

# An editor saves: the text into a new file, renamed over the old one, then written once more.
sleep 1
printf -- '-- main.lua\nprint("three")\n' >"$work/proj/.main.lua.tmp"
mv "$work/proj/.main.lua.tmp" "$work/proj/main.lua"
sleep 0.1
printf -- '-- main.lua\nprint("three, saved")\n' >"$work/proj/main.lua"
saved=$(($(date +%s%N) / 1000000))
within 15 has main.lua 'three, saved'
check $? "the editor's save reached the device while the window kept in step"
echo "the save was on the device within $(($(date +%s%N) / 1000000 - saved)) ms (polled every 200 ms)"
sleep 1
shot keep-in-step.png
# The window stays usable meanwhile: F5 lists the folder afresh.
xdotool windowactivate --sync "$main" key F5
sleep 1
kill -0 $pid
check $? "the window is still running"
exit $status
