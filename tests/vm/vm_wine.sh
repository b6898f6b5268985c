#!/bin/sh
# Runs inside the virtual machine (scripts/vm-test.sh --wine): kvb.exe under Wine against the
# bridged simulated device, through Wine's HID stack (winebus on /dev/hidraw*, HID.dll, SetupAPI)
# and the program's Windows backend. Wine's prefix is made here, on a tmpfs. Prints one line per
# check, with the end of kvb's output when it fails, and "WINE RESULT: PASS" or "WINE RESULT: FAIL"
# at the end.
# Usage: vm_wine.sh KVB_EXE
# Wine loads the program wrongly from the read-only 9p share (it jumps into the start of .data at
# process start: a TLS callback read wrong), so it runs from a copy on the tmpfs.
cp "$1" /mnt/kvb.exe && exe=/mnt/kvb.exe
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export HOME=/tmp/home WINEPREFIX=/tmp/wine WINEDEBUG=-all
# Wine's USB bus (libusb) also takes the device, as a plain USB device it has no driver for: it is
# kept off, so that the device reaches Windows programs through the HID bus alone.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;wineusb.sys=d"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME" && cd /mnt || exit 1
failures=0
# kvb NAME ARGS...: kvb.exe with ARGS, its output (both streams, without CRs) in NAME.
kvb() {
  out=$1; shift
  timeout 120 "$wine" "$exe" "$@" > "$out" 2>&1
  status=$?
  tr -d '\r' < "$out" > "$out.tmp" && mv "$out.tmp" "$out"
  return $status
}
# check WHAT OUTPUT COMMAND...: one line, ok or FAIL; on failure the end of OUTPUT.
check() {
  what=$1 out=$2; shift 2
  if "$@"; then echo "ok   wine: $what"; return; fi
  echo "FAIL wine: $what"
  failures=$((failures + 1))
  [ -f "$out" ] && tail -5 "$out" | sed "s/^/wine:   $out: /"
}

t0=$(date +%s)
timeout 900 "$wine" wineboot -i > wineboot.log 2>&1
"$server" -w
echo "wine: wineboot took $(( $(date +%s) - t0 )) s"
# The guest runs no udev daemon: Wine's HID bus then finds hidraw nodes by watching /dev.
"$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v DisableUdevd /t REG_DWORD /d 1 /f > reg.log 2>&1
# Without libSDL2 its SDL bus fails to start, and the udev bus that would follow it never starts.
"$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0 /f >> reg.log 2>&1
"$server" -k 2>/dev/null; "$server" -w 2>/dev/null

head -c 200000 /dev/urandom > up.bin
head -c 3000 /dev/zero > fw.blf

t0=$(date +%s)
kvb devices.out --wait 60 devices
echo "wine: kvb devices: status $status after $(( $(date +%s) - t0 )) s"
check "kvb devices lists the device" devices.out grep -qi 'vid_16d0&pid_064e.*KV-104-000123' devices.out
grep -ai 'vid_16d0' devices.out | cut -c1-160 | sed 's/^/wine:   /'
kvb ls.out --wait 20 ls /
check "kvb ls /" ls.out grep -qx 'Lua/' ls.out
kvb mkdir.out mkdir /vm
check "kvb mkdir /vm" mkdir.out [ $status -eq 0 ]
kvb put.out -q put --verify up.bin /
check "kvb put --verify" put.out [ $status -eq 0 ]
kvb get.out -q get --verify /up.bin back.bin
check "kvb get --verify, byte-exact" get.out cmp -s up.bin back.bin
kvb flash.out flash fw.blf
check "kvb flash: boot loader, load, run" flash.out grep -q 'Run firmware' flash.out
kvb after.out --wait 60 ls /
check "kvb ls after the restart" after.out grep -qx 'up.bin' after.out
# An unplug seen by a running kvb: the device restarts into its boot loader (off the bus) while a
# log session holds it; the session must end then, not at its 60 s.
t0=$(date +%s)
kvb log.out log --seconds 60 &
logger=$!
sleep 5
kvb boot.out exec boot
echo "wine: kvb exec boot beside the log: status $status"
wait $logger
logged=$?
took=$(( $(date +%s) - t0 ))
check "an unplug ends a running kvb log (status $logged after $took s)" log.out \
  [ $logged -eq 0 -a "$took" -lt 40 ]
kvb flash2.out flash fw.blf
check "kvb flash from the boot loader" flash2.out grep -q 'Run firmware' flash2.out
"$server" -k
echo "WINE RESULT: $([ $failures -eq 0 ] && echo PASS || echo FAIL)"
