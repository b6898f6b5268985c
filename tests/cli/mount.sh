#!/bin/sh
# kvb mount through the kernel's FUSE against the simulated device (a PC folder as its storage):
# copies in and out byte for byte, renames, removal of a tree, editors' saves by rename, a name the
# device cannot take, and a write cut by an unplug, kept for recovery, and sent once it is back.
# Status 77 (skipped) without /dev/fuse or fusermount3; under CI=true that is a failure.
# Usage: mount.sh KVB
set -u
kvb=$1
skip() {
  echo "skipped: $1"
  if [ "${CI:-}" = true ]; then echo "CI=true: the mount must be tested here"; exit 1; fi
  exit 77
}
[ -c /dev/fuse ] || skip "no /dev/fuse on this machine"
command -v fusermount3 >/dev/null || skip "no fusermount3 (Debian package fuse3)"

dir=$(mktemp -d /tmp/kvb-mount-test.XXXXXX)
cleanup() {
  mountpoint -q "$dir/mnt" && fusermount3 -u "$dir/mnt"
  wait
  rm -rf "$dir"
}
trap cleanup EXIT
cd "$dir" || exit 1
export XDG_STATE_HOME="$dir/state"
failed=0
check() { # what, then the command that must succeed
  what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failed=1; fi
}
mount_sim() { # the device's folder, then kvb's faults
  mkdir -p mnt
  KVB_SIM_FAULTS=$2 "$kvb" --simulate "$1" mount / mnt 2>>mount.log &
  for _ in $(seq 200); do mountpoint -q mnt && return 0; sleep 0.05; done
  echo "the mount did not come up:"; cat mount.log; exit 1
}
unmount_sim() {
  fusermount3 -u mnt
  wait
}

# A project: text, every byte value, a larger binary file, an empty file, nested folders.
mkdir -p dev/Lua src/lib/deep out
printf 'print("main")\r\n' >dev/Lua/main.lua
printf 'print(1)\r\n' >src/init.lua
i=0; bytes=""
while [ $i -lt 256 ]; do bytes="$bytes\\$(printf %o $i)"; i=$((i + 1)); done
printf "$bytes" >src/lib/allbytes.bin
head -c 20000 /dev/urandom >src/lib/deep/random.dat
: >src/lib/empty.txt
[ "$(wc -c <src/lib/allbytes.bin)" -eq 256 ] || { echo "printf did not give every byte value"; exit 1; }

mount_sim dev ""
check "cp -r into the mount" cp -r src mnt/proj
check "byte-exact on the device" diff -r src dev/proj
# Mounted afresh, so that what is read comes from the device.
unmount_sim
mount_sim dev ""
check "diff -r through the mount" diff -r src mnt/proj
check "cp -r out of the mount" cp -r mnt/proj out/proj
check "byte-exact back on the PC" diff -r src out/proj
check "mv within a folder" mv mnt/proj/init.lua mnt/proj/start.lua
check "renamed on the device" test -f dev/proj/start.lua -a ! -e dev/proj/init.lua
check "mv into another folder (copied)" mv mnt/proj/lib/allbytes.bin mnt/Lua/
check "moved whole" cmp src/lib/allbytes.bin dev/Lua/allbytes.bin
check "and gone where it was" test ! -e dev/proj/lib/allbytes.bin
check "rm -r of a tree" rm -r mnt/proj/lib
check "the tree is gone on the device" test ! -e dev/proj/lib

# vim's save: the old file renamed to a backup, the new one written, the backup removed; its
# swap file beside it all the while.
printf 'old\n' >mnt/Lua/edit.lua
printf 'swap' >mnt/Lua/.edit.lua.swp
check "vim: the old file to its backup" mv mnt/Lua/edit.lua mnt/Lua/edit.lua~
printf 'new text\n' >mnt/Lua/edit.lua
check "vim: the backup removed" rm mnt/Lua/edit.lua~ mnt/Lua/.edit.lua.swp
check "vim: the new text on the device" test "$(cat dev/Lua/edit.lua)" = "new text"
# The other editors' save: a temporary file renamed over the old one.
printf 'print("saved")\r\n' >mnt/Lua/.main.lua.tmp
check "save by rename over the old file" mv mnt/Lua/.main.lua.tmp mnt/Lua/main.lua
check "the new content in its place" cmp dev/Lua/main.lua mnt/Lua/main.lua
check "and nothing left beside it" test ! -e dev/Lua/.main.lua.tmp -a ! -e dev/Lua/main.lua.kvbnew

# A name that cannot go into the device's command line is refused as such.
touch 'mnt/Lua/say"hi".lua' 2>refused.txt
check "a refused name fails with EINVAL" grep -q "Invalid argument" refused.txt
check "and nothing of it is on the device" test ! -e 'dev/Lua/say"hi".lua'
unmount_sim

# The first upload finds the device leaving the bus for 3 s: the copy fails, its content is kept,
# calls fail with EIO meanwhile, and the device is taken back when it returns.
printf 'typed while the device was away\n' >notes.txt
mount_sim dev "upload-unplugs=1;upload-unplug-ms=3000"
cp notes.txt mnt/Lua/notes.txt 2>cut.txt
check "the cut write fails with EIO" grep -q "Input/output error" cut.txt
check "while away, ls fails with EIO" sh -c 'ls mnt/Lua 2>&1 | grep -q "Input/output error"'
kept=$(find state/kvb/mount-recovery -name '*notes.txt' | head -1)
check "its content is kept for recovery" cmp notes.txt "$kept"
check "and the log names it" grep -q "$kept" state/kvb/mount-recovery/recovery.log mount.log
back=""
for _ in $(seq 100); do ls mnt/Lua >/dev/null 2>&1 && { back=1; break; }; sleep 0.2; done
check "the device is back" test -n "$back"
check "the write goes through once it is back" cp notes.txt mnt/Lua/notes.txt
check "whole on the device" cmp notes.txt dev/Lua/notes.txt
unmount_sim

# A listing line the mount cannot read fails that call with EIO; the mount stays up. A file
# unlinked while it is open, asked about through its descriptor, does not end the mount.
mount_sim dev 'listing-line=x\tbad'
check "a malformed listing is an error" sh -c '! ls mnt/Lua >/dev/null 2>&1'
check "which is said" grep -q "not a valid integer value" mount.log
check "and the mount stays up" stat mnt
unmount_sim
mount_sim dev ""
check "an open file unlinked under its reader does not end the mount" sh -c \
  'exec 3<mnt/Lua/main.lua && rm mnt/Lua/main.lua && { wc -c <&3 >/dev/null 2>&1; true; }'
check "which stays up after it" stat mnt
check "and the file is not brought back by its close" test ! -e dev/Lua/main.lua
unmount_sim
exit $failed
