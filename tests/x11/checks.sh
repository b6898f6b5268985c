# Shared by the X-server test scripts (sourced): a line per check, polling, and finding a window.
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
