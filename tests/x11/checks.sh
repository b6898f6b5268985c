# Shared by the X-server test scripts (sourced): starting on an X server, a line per check,
# polling, and finding a window.
# on_x SCREEN SCRIPT ARGS...: outside an X server, runs SCRIPT again on its own (xvfb-run, of that
# screen size) with a window manager (with-wm.sh); exits 77 (skipped) without the X tools.
on_x() {
  [ -n "$KV_ON_X" ] && return
  for tool in xvfb-run openbox xdotool; do
    command -v "$tool" >/dev/null 2>&1 ||
      { echo "skipped: $tool is not installed, the window cannot be run on an X server"; exit 77; }
  done
  screen=$1 script=$2
  shift 2
  KV_ON_X=1 QT_QPA_PLATFORM=xcb exec xvfb-run -a -s "-screen 0 ${screen}x24 -nolisten tcp" \
    "$here/with-wm.sh" sh "$script" "$@"
}
status=0
check() { # ok? what
  if [ "$1" = 0 ]; then echo "ok: $2"; else echo "FAILED: $2"; status=1; fi
}
# Polls a command every 0.2 s for up to $1 seconds.
within() {
  limit=$(($1 * 5))
  shift
  n=0
  until "$@" >/dev/null 2>&1; do
    n=$((n + 1))
    [ $n -lt $limit ] || return 1
    sleep 0.2
  done
}
window() { xdotool search --name "$1" | head -1 | grep .; }
