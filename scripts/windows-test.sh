#!/usr/bin/env bash
# The core with the Windows backend, its tests and kvb.exe, cross-built with MinGW-w64 into
# build-windows/ and run under Wine: the core tests, kvb against a simulated device on a folder
# (listing, a byte-exact put and get, a flash, device names Windows must refuse), and kvb devices
# on the real Windows backend, which finds no device under Wine and must say so with the
# "no device" status. Skipped with a message (a failure under CI) only where MinGW-w64 or Wine
# cannot be installed.
set -euo pipefail
cd "$(dirname "$0")/.."
# A stage that cannot run says why; under CI that fails the run, so lost coverage never passes.
skip() {
  if [ "${CI:-}" = true ]; then echo "windows-test: FAILED: cannot run under CI: $1"; exit 1; fi
  echo "windows-test: SKIPPED: $1"; exit 0
}
need=(g++-mingw-w64-x86-64-posix wine64 googletest)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
       "${missing[@]}" >/dev/null 2>&1; then
    skip "MinGW-w64 or Wine cannot be installed"
  fi
fi
start=$(date +%s)
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKV_GTEST_SOURCE=/usr/src/googletest >/dev/null
cmake --build build-windows -j2 --target core_tests kvb >/dev/null
export WINEPREFIX=$PWD/build-windows/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
run() { timeout 300 "$wine" "$@"; }
echo "== core tests under Wine"
run build-windows/tests/core_tests.exe --gtest_brief=1 2>&1 | tr -d '\r' | tail -3
echo "== kvb.exe under Wine"
work=build-windows/kvb-work
rm -rf "$work" && mkdir -p "$work/dev/Lua" "$work/pc"
head -c 70000 /dev/urandom > "$work/pc/every.bin"
head -c 3000 /dev/zero > "$work/pc/fw.blf"
echo 'print(1)' > "$work/dev/Lua/main.lua"
kvb="$PWD/build-windows/kvb.exe"
(cd "$work" && KVB_VIRTUAL_TIME=1 run "$kvb" --simulate dev ls / | tr -d '\r' | grep -qx 'Lua/')
echo "ok   ls"
(cd "$work" && KVB_VIRTUAL_TIME=1 run "$kvb" -q --simulate dev put --verify pc/every.bin /Lua/)
(cd "$work" && KVB_VIRTUAL_TIME=1 run "$kvb" -q --simulate dev get --verify /Lua/every.bin back.bin)
cmp "$work/pc/every.bin" "$work/dev/Lua/every.bin"
cmp "$work/pc/every.bin" "$work/back.bin"
echo "ok   put and get, byte-exact"
(cd "$work" && KVB_VIRTUAL_TIME=1 run "$kvb" --simulate dev flash pc/fw.blf 2>&1 | tr -d '\r' |
   grep -q 'Run firmware')
echo "ok   flash"
# A device tree with names Windows must not write: the simulated device lists and sends them
# (KVB_SIM_FAULTS extra-file; no folder here can hold them). Each is refused by name, the good
# file is saved, and nothing appears outside out/: not in the work folder (the current one), not
# at the root of drive C: (where "C:x" would go).
names=('CON' 'nul' 'COM1.txt' 'Aux.log' 'lpt9' 'CON .txt' 'CONIN$' 'COM\xB9' 'a*b' 'a?b'
       'q"q' 'a<b' 'a>b' 'a|b' 'ctl\x01x' 'trail.' 'trail ' 'C:x')
faults=""
for n in "${names[@]}"; do faults+="extra-file=/Save/$n;"; done
mkdir -p "$work/dev/Save" && echo good > "$work/dev/Save/ok.txt"
outside() { (cd "$work" && find . -path ./out -prune -o -print | sort); ls -A "$WINEPREFIX/drive_c"; }
before=$(outside)
log=$PWD/build-windows/kvb-names.log # not in the work folder, which must stay as it was
set +e
(cd "$work" && KVB_VIRTUAL_TIME=1 KVB_SIM_FAULTS="$faults" run "$kvb" --simulate dev get -r /Save out \
   2> "$log")
status=$?
set -e
sed -i 's/\r$//' "$log"
fail=0
for n in "${names[@]}"; do
  shown=$(printf '%b' "$n" | iconv -f latin1 -t utf-8)
  # Control characters are shown escaped, as written here, never raw on the terminal.
  [ "$n" = 'ctl\x01x' ] && shown=$n
  grep -qF "unsafe name \"$shown\" in /Save" "$log" ||
    { echo "FAIL get -r: \"$n\" not reported as refused"; fail=1; }
done
[ "$(outside)" = "$before" ] || { echo "FAIL get -r wrote outside out/:"; diff <(echo "$before") <(outside); fail=1; }
[ "$(cd "$work/out" && find . | sort | tr '\n' ' ')" = ". ./Save ./Save/ok.txt " ] ||
  { echo "FAIL get -r: out/ holds more than Save/ok.txt:"; (cd "$work/out" && find .); fail=1; }
cmp -s "$work/dev/Save/ok.txt" "$work/out/Save/ok.txt" || { echo "FAIL get -r: ok.txt"; fail=1; }
[ $status -eq 4 ] || { echo "FAIL get -r: status $status, not 4 (not all moved)"; fail=1; }
if [ $fail -ne 0 ]; then cat "$log"; exit 1; fi
echo "ok   get -r refuses ${#names[@]} names Windows cannot hold, saves the rest, writes nothing outside"
# Two device names that differ only in case (a device that tells them apart): a Windows folder
# holds them as one, so the first is saved and the second is named, never written over it.
mkdir -p "$work/dev/Case"
set +e
(cd "$work" && KVB_VIRTUAL_TIME=1 KVB_SIM_FAULTS='case-sensitive=1;extra-file=/Case/A.txt;extra-file=/Case/a.txt' \
   run "$kvb" --simulate dev get -r /Case folded 2> "$log")
status=$?
set -e
sed -i 's/\r$//' "$log"
saved=$(cd "$work/folded/Case" && ls)
if [ $status -ne 4 ] || [ "$saved" != A.txt ] || [ "$(cat "$work/folded/Case/A.txt")" != A.txt ] ||
   ! grep -qF 'names that differ only in case (A.txt, a.txt)' "$log"; then
  echo "FAIL get -r of case twins: status $status, saved \"$saved\""; cat "$log"; exit 1
fi
echo "ok   get -r saves one of two names that differ only in case and names the other"
set +e
(cd "$work" && run "$kvb" devices > devices.txt 2>&1)
status=$?
set -e
tr -d '\r' < "$work/devices.txt"
if [ $status -ne 3 ]; then echo "FAIL kvb devices: status $status, not 3 (no device)"; exit 1; fi
echo "ok   devices on the Windows backend: no device, status 3"
# Arguments arrive as typed, in UTF-8 whatever the code page: a folder name with letters outside
# ASCII comes back whole in the message about it.
name='Ünï Ω 日'
run "$kvb" --simulate "$work/$name" ls / > "$work/args.txt" 2>&1 || true
grep -qF "$name" "$work/args.txt" ||
  { echo "FAIL arguments: \"$name\" not given back whole:"; cat "$work/args.txt"; exit 1; }
echo "ok   arguments outside ASCII arrive whole"
echo "windows-test: PASS in $(( $(date +%s) - start )) s"
