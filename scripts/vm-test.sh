#!/usr/bin/env bash
# The real-kernel test: boots a Linux kernel in QEMU (software emulation), presents the simulated
# device to it as a USB HID device (build/tests/vm/vm_bridge over usbredir), and runs
# build/tests/vm/vm_guest inside the machine against it, with this machine's root file system
# shared read-only. Prints the guest's checks; exits non-zero when one fails. Skipped with a
# message (a failure under CI) only where QEMU cannot run.
# With --wine: kvb.exe instead (the Windows backend, cross-built as scripts/windows-test.sh does),
# under Wine inside the machine, through Wine's own HID stack on the guest's /dev/hidraw*
# (tests/vm/vm_wine.sh); skipped with a message where Wine or MinGW-w64 is not installed (a
# failure under CI). KVB_WINE_BENCH=1 adds the 1 MiB transfers against the Linux kvb
# (bench/wine_bench.sh); KVB_WINE_TRACE=1 runs a restart alone with Wine's traces.
# Wine's prefix is made here, natively, once per Wine version (build/vm/wine-prefix), and the
# machine mounts it writable as an overlay on a tmpfs: made inside the emulated machine it takes
# minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
# A stage that cannot run says why; under CI that fails the run, so lost coverage never passes.
skip() {
  if [ "${CI:-}" = true ]; then echo "vm-test: FAILED: cannot run under CI: $1"; exit 1; fi
  echo "vm-test: SKIPPED: $1"; exit 0
}
root=$PWD
work=$root/build/vm
bridge=$root/build/tests/vm/vm_bridge
guest=$root/build/tests/vm/vm_guest
window=$root/build/tests/vm/vm_window
kvb=$root/build/kvb
wine=false linux=true memory=1024
[ "${1:-}" = --wine ] && wine=true linux=false
if $wine && ! { command -v wine64 || command -v wine || [ -x /usr/lib/wine/wine64 ]; } >/dev/null; then
  skip "Wine is not installed"
fi
if $wine && ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  skip "MinGW-w64 is not installed"
fi
if $wine; then
  memory=2048
  cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DKV_GTEST_SOURCE=/usr/src/googletest >/dev/null
  cmake --build build-windows -j2 --target kvb >/dev/null
  x86_64-w64-mingw32-gcc -O1 -Wall -Wextra -o build-windows/hid_list.exe tests/vm/hid_list.c \
    -lsetupapi -lhid
fi
if ! command -v qemu-system-x86_64 >/dev/null || [ ! -x "$bridge" ] ||
   { $linux && { [ ! -x "$guest" ] || [ ! -x "$window" ] || [ ! -x "$kvb" ]; }; }; then
  skip "QEMU or the usbredir library is not installed"
fi
mkdir -p "$work"
started=$(date +%s)

# Wine's prefix, made natively with the settings the machine needs, and remade when Wine changes.
prefix=$work/wine-prefix
if $wine; then
  winebin=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
  serverbin=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  stamp="$("$winebin" --version 2>/dev/null) $(stat -c %Y /usr/share/wine/wine.inf 2>/dev/null) 2"
  if [ "$(cat "$prefix/.made-by" 2>/dev/null)" != "$stamp" ]; then
    t0=$(date +%s)
    rm -rf "$prefix"
    (
      export WINEPREFIX=$prefix WINEDEBUG=-all
      export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;wineusb.sys=d"
      unset DISPLAY WAYLAND_DISPLAY
      timeout 600 "$winebin" wineboot -i > "$work/wineboot.log" 2>&1
      # The machine runs no udev daemon: Wine's HID bus then finds hidraw nodes by watching /dev.
      key='HKLM\System\CurrentControlSet\Services\winebus'
      "$winebin" reg add "$key" /v DisableUdevd /t REG_DWORD /d 1 /f
      # Without libSDL2 its SDL bus fails to start, and the udev bus that would follow it never
      # starts.
      "$winebin" reg add "$key" /v 'Enable SDL' /t REG_DWORD /d 0 /f
      # Services kvb.exe has no use for, each a process to start in the emulated machine: the
      # event log and the network drivers.
      for service in Eventlog NDIS nsiproxy; do
        "$winebin" reg add "HKLM\System\CurrentControlSet\Services\$service" /v Start \
          /t REG_DWORD /d 4 /f
      done
      "$serverbin" -w
    ) >> "$work/wineboot.log" 2>&1 || skip "Wine's prefix could not be made (see $work/wineboot.log)"
    echo "$stamp" > "$prefix/.made-by"
    echo "vm-test: Wine's prefix made in $(( $(date +%s) - t0 )) s"
  fi
fi

# The guest kernel: Debian's, unpacked, not installed.
kdir=$work/kernel
if [ ! -d "$kdir/lib/modules" ]; then
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image/{print $2; exit}')
  (cd "$work" && rm -f linux-image-*.deb && apt-get download "$package" >/dev/null 2>&1) || true
  if ! ls "$work"/linux-image-*.deb >/dev/null 2>&1; then
    skip "no Debian kernel package could be fetched"
  fi
  rm -rf "$kdir" && dpkg -x "$work"/linux-image-*.deb "$kdir"
fi
kver=$(ls "$kdir/lib/modules" | head -1)
PATH=$PATH:/usr/sbin:/sbin depmod -b "$kdir" "$kver"

# A small initramfs: busybox, the modules for virtio, 9p, xHCI and HID, and an init script.
init=$work/initramfs
rm -rf "$init" && mkdir -p "$init"/{bin,proc,sys,dev,root,modules}
cp /bin/busybox "$init/bin/busybox"
wanted="virtio_pci 9pnet_virtio 9p xhci_pci usbhid hid_generic fuse$($wine && echo " overlay" || true)"
: > "$init/modules.order"
declare -A done_
add() { # modules in dependency order
  local rel=$1
  [ -n "${done_[$rel]:-}" ] && return
  done_[$rel]=1
  local deps
  deps=$(awk -F':' -v m="$rel" '$1==m {print $2}' "$kdir/lib/modules/$kver/modules.dep")
  for d in $deps; do add "$d"; done
  cp "$kdir/lib/modules/$kver/$rel" "$init/modules/"
  basename "$rel" >> "$init/modules.order"
}
for m in $wanted; do
  rel=$(awk -F':' -v n="$m" '{f=$1; sub(/.*\//,"",f); sub(/\.ko.*/,"",f); gsub("-","_",f); if (f==n) {print $1; exit}}' \
        "$kdir/lib/modules/$kver/modules.dep")
  [ -n "$rel" ] && add "$rel"
done
{
cat <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in \$(cat /modules.order); do insmod /modules/\$m 2>/dev/null; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /root
mount -t proc proc /root/proc; mount -t sysfs sys /root/sys; mount -t devtmpfs dev /root/dev
mount -t tmpfs tmpfs /root/mnt
INIT
if $linux; then
cat <<INIT
echo "guest: running $guest"
chroot /root $guest
echo "guest: exit \$?"
echo "guest: running $window"
chroot /root env QT_QPA_PLATFORM=offscreen HOME=/tmp $window
echo "guest: window exit \$?"
echo "guest: running $kvb"
chroot /root /bin/sh -c 'cd /mnt && head -c 200000 /dev/urandom > up.bin && head -c 3000 /dev/zero > fw.blf &&
  $kvb --wait 20 ls / > ls.txt && grep -q "^Lua/\$" ls.txt && echo "ok   kvb ls" &&
  $kvb -q put --verify up.bin /vm/ && echo "ok   kvb put --verify" &&
  $kvb -q get --verify /vm/up.bin back.bin && cmp up.bin back.bin && echo "ok   kvb get, byte-exact" &&
  head -c 300000 /dev/urandom > big.bin && { $kvb -q put big.bin /vm/big.bin & up=\$!; } && listed=0 busy=0 &&
  for i in 1 2 3 4 5 6; do sleep 0.7; $kvb ls / > ls\$i.txt 2> lserr\$i.txt; s=\$?;
    if [ \$s = 0 ] && grep -q "^Lua/\$" ls\$i.txt; then listed=\$((listed + 1));
    elif [ \$s = 6 ] && grep -q "is in use by kvb put (process \$up)" lserr\$i.txt; then busy=\$((busy + 1));
    else cat lserr\$i.txt; false; fi || break; done && [ \$((listed + busy)) = 6 ] && [ \$busy -ge 1 ] &&
  wait \$up && $kvb -q get /vm/big.bin big2.bin && cmp big.bin big2.bin &&
  echo "ok   one program at a time: the upload byte-exact, of 6 kvb ls beside it \$busy named the holder, \$listed listed" &&
  mkdir -p proj/Lua && echo "print(1)" > proj/Lua/a.lua && echo "print(2)" > proj/Lua/b.lua &&
  export XDG_STATE_HOME=/mnt/state && $kvb sync up proj /vmsync > sync1.txt &&
  grep -qx "send new Lua/a.lua" sync1.txt && grep -qx "send new Lua/b.lua" sync1.txt &&
  echo "print(3)" > proj/Lua/b.lua && $kvb sync up proj /vmsync > sync2.txt &&
  [ "\$(cat sync2.txt)" = "send changed Lua/b.lua" ] && $kvb -q cat /vmsync/Lua/b.lua | grep -qx "print(3)" &&
  echo "ok   kvb sync up, a change, a second sync that sends the one file" &&
  mkdir m && { $kvb mount /vm m 2> mount.txt & mounted=\$!; } &&
  for i in \$(seq 100); do mountpoint -q m && break; sleep 0.2; done && cmp up.bin m/up.bin &&
  cp proj/Lua/a.lua m/a.lua && fusermount3 -u m && wait \$mounted &&
  $kvb -q cat /vm/a.lua | grep -qx "print(1)" && echo "ok   kvb mount over the real HID path" &&
  $kvb flash fw.blf 2> flash.txt && grep -q "Run firmware" flash.txt && echo "ok   kvb flash" &&
  $kvb --wait 20 ls /vm > after.txt && grep -q "^up.bin\$" after.txt && echo "ok   kvb ls after the restart" &&
  echo "KVB RESULT: PASS" || echo "KVB RESULT: FAIL"'
INIT
fi
if $wine; then
# The first folder below /tmp that holds the project, when it is there (bound into the guest's /tmp).
tmptop=""
case "$root" in /tmp/?*) tmptop=${root#/tmp/}; tmptop=${tmptop%%/*} ;; esac
cat <<INIT
mkdir -p /hosttmp && mount -o bind /root/tmp /hosttmp
mount -t tmpfs tmpfs /root/tmp
# The guest's /tmp is its own; a project in the host's /tmp stays where it is.
[ -n "$tmptop" ] && mkdir -p /root/tmp/$tmptop && mount -o bind /hosttmp/$tmptop /root/tmp/$tmptop
mkdir -p /root/tmp/wine /root/tmp/.upper /root/tmp/.work
mount -t overlay overlay -o lowerdir=/root$prefix,upperdir=/root/tmp/.upper,workdir=/root/tmp/.work /root/tmp/wine
echo "guest: running kvb.exe under Wine"
chroot /root env KVB_WINE_TRACE=${KVB_WINE_TRACE:-} KVB_WINE_BENCH=${KVB_WINE_BENCH:-} /bin/sh $root/tests/vm/vm_wine.sh $root/build-windows/kvb.exe $([ -x "$kvb" ] && echo "$kvb")
INIT
fi
echo "poweroff -f"
} > "$init/init"
chmod +x "$init/init"
(cd "$init" && find . | cpio -o -H newc 2>/dev/null | gzip -1 > "$work/initrd.gz")

port=$((20000 + RANDOM % 20000))
# The Wine part gets the device's input at most one report per KVB_VM_WINE_PACE_MS (8) ms: in the
# emulated machine Wine's HID bus reads the node only between its other work, and at one report
# per millisecond the kernel's buffer of 64 reports for it overflows (a second reader of the node
# gets every report; at 2 ms downloads still lost reports, and at 4 ms one run in four did). The
# bridge is told when that part starts (SIGUSR1).
"$bridge" "$port" "${KVB_VM_WINE_PACE_MS:-8}" > "$work/bridge.log" 2>&1 &
bridge_pid=$!
: > "$work/guest.log"
if $wine; then
  (while kill -0 $bridge_pid 2>/dev/null; do
     if grep -q 'guest: running kvb.exe' "$work/guest.log"; then kill -USR1 $bridge_pid; break; fi
     sleep 1
   done
   # The device restarts under a running kvb log when the guest asks (no second program may
   # send it "boot" while the log holds it).
   while kill -0 $bridge_pid 2>/dev/null; do
     if grep -q 'wine: restart the device now' "$work/guest.log"; then kill -USR2 $bridge_pid; break; fi
     sleep 0.5
   done) &
fi
trap 'kill $bridge_pid 2>/dev/null || true' EXIT
sleep 0.5
# no_timer_check: on a loaded host the emulated clock can look broken to the kernel's early
# timer check, which then stops the boot; the emulated timer is sound.
timeout $($wine && echo 1200 || echo 400) qemu-system-x86_64 -accel tcg -m $memory -smp $($wine && echo 2 || echo 1) \
  -nographic -no-reboot \
  -kernel "$kdir/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 no_timer_check" \
  -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -device qemu-xhci,id=xhci \
  -chardev socket,id=ur,host=127.0.0.1,port=$port \
  -device usb-redir,chardev=ur,bus=xhci.0 < /dev/null > "$work/guest.log" 2>&1 || true
if ! grep -q 'guest: running' "$work/guest.log"; then
  skip "the virtual machine did not start (see $work/guest.log)"
fi
grep -a 'bridge: dialect' "$work/bridge.log" || true
grep -aoE '(ok  |FAIL|download|bench|VMTEST|VMWINDOW|KVB RESULT|WINE RESULT|guest:|wine:).*' "$work/guest.log" || true
echo "vm-test: $(( $(date +%s) - started )) s"
# A run that fails says why: the end of what the guest printed.
failed() {
  echo "vm-test: FAILED: $1; the end of $work/guest.log:"
  tail -n 25 "$work/guest.log" | tr -d '\r'
  exit 1
}
if $wine; then grep -q 'WINE RESULT: PASS' "$work/guest.log" || failed "the Wine run did not pass"; fi
if $linux; then
  grep -q 'VMTEST RESULT: PASS' "$work/guest.log" || failed "the HID checks did not pass"
  grep -q 'VMWINDOW RESULT: PASS' "$work/guest.log" || failed "the window's checks did not pass"
  grep -q 'KVB RESULT: PASS' "$work/guest.log" || failed "kvb's checks did not pass"
fi
