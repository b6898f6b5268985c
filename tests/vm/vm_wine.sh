#!/bin/sh
# Runs inside the virtual machine (scripts/vm-test.sh --wine): kvb.exe under Wine
# against the bridged simulated device, through Wine's HID stack (winebus on /dev/hidraw*, HID.dll,
# SetupAPI) and the program's Windows backend. Wine's prefix was made outside the machine and is
# mounted writable at /tmp/wine (an overlay on a tmpfs). Prints one line per check, with the end of
# kvb's output when it fails, the timings of the transfers against the Linux kvb in the same
# machine, and "WINE RESULT: PASS" or "WINE RESULT: FAIL" at the end.
# Usage: vm_wine.sh KVB_EXE [LINUX_KVB]
# Wine loads the program wrongly from the read-only 9p share (it jumps into the start of .data at
# process start: a TLS callback read wrong), so it runs from a copy on the tmpfs.
mkdir -p /mnt/wine && cp "$1" /mnt/wine/kvb.exe && exe=/mnt/wine/kvb.exe
cp "$(dirname "$1")/hid_list.exe" /mnt/wine/ 2>/dev/null
linux_kvb=${2:-}
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export HOME=/tmp/home WINEPREFIX=/tmp/wine WINEDEBUG=-all
# Wine's USB bus (libusb) also takes the device, as a plain USB device it has no driver for: it is
# kept off, so that the device reaches Windows programs through the HID bus alone.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;wineusb.sys=d"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME" && cd /mnt/wine || exit 1
failures=0
now() { date +%s.%N | cut -c1-14; }
since() { echo "$(now) $1" | awk '{printf "%.1f", $1 - $2}'; }
# kvb NAME ARGS...: kvb.exe with ARGS, its output (both streams, without CRs) in NAME.
kvb() {
  out=$1; shift
  started_at=$(now)
  timeout 300 "$wine" "$exe" "$@" > "$out" 2>&1
  status=$?
  took=$(since $started_at)
  tr -d '\r' < "$out" > "$out.tmp" && mv "$out.tmp" "$out"
  return $status
}
# check WHAT OUTPUT COMMAND...: one line, ok or FAIL; on failure the end of OUTPUT.
check() {
  what=$1 out=$2; shift 2
  if "$@"; then echo "ok   wine: $what [$took s]"; return; fi
  echo "FAIL wine: $what [$took s]"
  failures=$((failures + 1))
  [ -f "$out" ] && tail -5 "$out" | sed "s/^/wine:   $out: /"
  return 1
}

# KVB_WINE_TRACE=1: a restart alone, without the bus started again, with Wine's plug and play
# traced (services.log): what SetupAPI lists once the node is back, and what the bus did.
restart_probe() {
  kvb devices.out --wait 60 devices
  echo "wine: probe: listed before the restart: $(grep -ci 'vid_16d0' devices.out)"
  kvb boot.out exec boot
  t0=$(now)
  while [ ! -c /dev/hidraw0 ]; do sleep 0.5; done
  for i in 1 2; do
    sleep 5
    echo "wine: probe: $(since $t0) s after the restart, the node back; SetupAPI lists:"
    "$wine" hid_list.exe 2>&1 | tr -d '\r' | sed 's/^/wine: probe:   /'
  done
  grep -a -E 'handle_bus_relations|Removing device|bus_create_hid_device|udev_add_device' services.log |
    cut -c1-200 | tail -40 | sed 's/^/wine: trace: /'
}
# Every byte value, then random bytes to 256 KiB.
i=0
while [ $i -lt 256 ]; do printf "\\$(printf %03o $i)"; i=$((i + 1)); done > every.bin
head -c $((262144 - 256)) /dev/urandom >> every.bin
[ -n "${KVB_WINE_BENCH:-}" ] && head -c 1048576 /dev/urandom > mib.bin
head -c 3000 /dev/zero > fw.blf

# Wine 8.0 does not present a device again once it has gone: its HID bus makes a new device when
# the node is back and then drops it from the bus's relations, so SetupAPI never lists it
# (KVB_WINE_TRACE=1 shows "created device X", at times "Adding new device X", then "Got 2 devices"
# where the device made 3 and "Removing device X"). A bus driver started afresh lists it. So, as a
# restart of Wine would, each time a node comes back the process that hosts the bus is ended and
# the bus driver started again.
(
  first=$(stat -c %i /dev/hidraw0 2>/dev/null)
  while :; do
    node=$(stat -c %i /dev/hidraw0 2>/dev/null)
    if [ -n "$node" ] && [ "$node" != "$first" ]; then
      first=$node
      for p in /proc/[0-9]*; do
        ls -l $p/fd 2>/dev/null | grep -q hidraw && kill -9 ${p#/proc/} 2>/dev/null
      done
      "$wine" sc start winebus > bus-restart.out 2>&1
      echo "$(date +%T) $(grep -c RUNNING bus-restart.out)" >> bus-restarts.txt
    fi
    sleep 0.5
  done
) &
bus_restarter=$!
# One wineserver and one HID bus for the whole run, as on a running Windows: started here once,
# and timed, so that no check pays for it.
"$server" -p
t0=$(now)
# The HID bus's plug and play events go to services.log (KVB_WINE_TRACE=1).
WINEDEBUG=${KVB_WINE_TRACE:+-all,+timestamp,+plugplay,+hid,err+all} \
  timeout 900 "$wine" wineboot > services.log 2>&1
echo "wine: Wine started in $(since $t0) s"
if [ -n "${KVB_WINE_TRACE:-}" ]; then
  kill $bus_restarter
  restart_probe
  "$server" -k
  echo "WINE RESULT: PROBE"
  exit 0
fi
t0=$(now)
kvb devices.out --wait 60 devices
echo "wine: kvb devices: status $status after $(since $t0) s"
check "kvb devices lists the device" devices.out grep -qi 'vid_16d0&pid_064e.*KV-104-000123' devices.out
kvb ls.out --wait 20 ls /
check "kvb ls /" ls.out grep -qx 'Lua/' ls.out
# What the kernel delivered, counted by a second reader of the node beside Wine's.
cat /dev/hidraw0 > raw.bin 2>/dev/null &
counter=$!
kvb put.out -v put --verify every.bin /vm/
check "kvb put --verify of 256 KiB with every byte value" put.out [ $status -eq 0 ]
kvb get.out -v get /vm/every.bin back.bin
check "kvb get, byte-exact" get.out cmp -s every.bin back.bin || cmp every.bin back.bin | sed 's/^/wine:   /'
kill $counter 2>/dev/null
echo "wine: the kernel delivered $(( $(stat -c %s raw.bin) / 64 )) input reports during put and get"

mkdir -p proj/Lua && echo "print(1)" > proj/Lua/a.lua && echo "print(2)" > proj/Lua/b.lua
kvb sync1.out sync up proj /winsync
check "kvb sync up sends both files" sync1.out \
  sh -c 'grep -qx "send new Lua/a.lua" sync1.out && grep -qx "send new Lua/b.lua" sync1.out'
echo "print(3)" > proj/Lua/b.lua
kvb sync2.out sync up proj /winsync
kvb cat.out -q cat /winsync/Lua/b.lua
check "kvb sync up after a change sends the one file" sync2.out \
  sh -c 'grep -x "send.*" sync2.out | grep -qx "send changed Lua/b.lua" &&
         [ "$(grep -c "^send" sync2.out)" -eq 1 ] && grep -qx "print(3)" cat.out'

# An unplug seen by a running kvb: the device restarts into its boot loader (off the bus) while a
# log session holds it; the session must end then with "no device", not at its 60 s. The log holds
# the device, so no other program may send it "boot": the bridge restarts it when asked.
kvb log.out log --seconds 900 &
logger=$!
# The session holds the device once the device's messages come.
i=0
while [ ! -s log.out ] && [ $i -lt 300 ]; do sleep 1; i=$((i + 1)); done
kvb busy.out exec boot
busy=$?
echo "wine: restart the device now"
t0=$(now)
wait $logger
logged=$?
took=$(since $t0)
check "a second kvb finds the device in use by the log: status $busy" busy.out \
  sh -c "[ $busy -eq 6 ] && grep -q 'is in use by' busy.out"
check "an unplug ends a running kvb log: status $logged, $took s after the restart" log.out \
  sh -c "[ $logged -eq 3 ] && grep -q 'the device is gone' log.out &&
         [ \$(echo '$took' | cut -d. -f1) -lt 30 ]"
# Found again at once: the boot loader, listed by SetupAPI, and a command through it.
t0=$(now)
kvb again.out --wait 60 devices
check "the device is listed again after the replug ($(since $t0) s)" again.out \
  grep -qi 'vid_16d0&pid_064e' again.out
kvb flash2.out --wait 60 flash fw.blf
check "kvb flash from the boot loader: load, run (status $status)" flash2.out \
  sh -c "[ $status -eq 0 ] && grep -q 'Run firmware' flash2.out"
kvb after2.out --wait 60 ls /
check "the application back after the flash: kvb ls / ($took s)" after2.out grep -qx 'vm/' after2.out

# The transfer benchmark (KVB_WINE_BENCH=1, bench/wine_bench.sh): 1 MiB each way, kvb.exe through
# Wine's HID stack against the Linux kvb on the same device in the same machine, at the same pace;
# each run's own figures are the baseline.
if [ -n "${KVB_WINE_BENCH:-}" ] && [ -n "$linux_kvb" ] && [ -x "$linux_kvb" ]; then
  "$linux_kvb" -q mkdir /bench > /dev/null 2>&1
  t0=$(now); "$linux_kvb" -q put mib.bin /bench/linux.bin > bench.out 2>&1; lput=$(since $t0)
  t0=$(now); "$linux_kvb" -q get /bench/linux.bin linux.back >> bench.out 2>&1; lget=$(since $t0)
  t0=$(now); kvb wput.out -q put mib.bin /bench/wine.bin; wput=$(since $t0)
  t0=$(now); kvb wget.out -v get /bench/wine.bin wine.back; wget=$(since $t0)
  t0=$(now); kvb wnone.out --version; wstart=$(since $t0)
  check "1 MiB each way, byte-exact under both" wget.out \
    sh -c 'cmp -s mib.bin linux.back && cmp -s mib.bin wine.back'
  echo "$wput $lput $wget $lget $wstart" | awk '{
    printf "bench: kvb.exe through Wine / Linux kvb, 1 MiB: put %.2f (%.1f s / %.1f s), get %.2f (%.1f s / %.1f s); kvb.exe --version alone %.1f s\n",
      $1 / $2, $1, $2, $3 / $4, $3, $4, $5 }'
fi
echo "wine: Wine's HID bus was started again $(wc -l < bus-restarts.txt 2>/dev/null || echo 0) times"
kill $bus_restarter
if [ -n "${KVB_WINE_TRACE:-}" ]; then
  grep -a -i -E 'hidraw|vid_16d0|remove|surprise|warn:|err:' services.log | cut -c1-220 | tail -80 |
    sed 's/^/wine: trace: /'
fi
"$server" -k
echo "WINE RESULT: $([ $failures -eq 0 ] && echo PASS || echo FAIL)"
