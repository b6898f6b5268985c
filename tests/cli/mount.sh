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

# What waits in the recovery folder is named when the device is mounted again, and --resend
# sends it only where nothing newer is there.
mount_sim dev ""
check "the next mount names what waits for the device" grep -q "1 write the device did not take waits" mount.log
unmount_sim
printf 'newer, on the device\n' >dev/Lua/notes.txt
"$kvb" --simulate dev mount --resend >resend.txt 2>&1
check "--resend leaves a write where the device holds a newer file, and fails" sh -c "[ $? -ne 0 ]"
check "which it says" grep -q "made there on the device since" resend.txt
check "the device's file stays" test "$(cat dev/Lua/notes.txt)" = "newer, on the device"
rm dev/Lua/notes.txt
check "--resend sends it where nothing is there" "$kvb" --simulate dev mount --resend
check "whole where it was meant to go" cmp notes.txt dev/Lua/notes.txt
check "and it no longer waits" sh -c '! ls state/kvb/mount-recovery | grep -q "notes.txt"'

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

# What file systems test of themselves, through the kernel, each checked on the device.
mount_sim dev ""
mkdir -p mnt/fs
py() { /usr/bin/python3 -c "$1"; }
printf a >>mnt/fs/append.txt && printf b >>mnt/fs/append.txt
check "append" test "$(cat dev/fs/append.txt)" = ab
printf 0123456789 >mnt/fs/seek.txt && printf XY | dd of=mnt/fs/seek.txt bs=1 seek=3 conv=notrunc status=none
check "a write at an offset" test "$(cat dev/fs/seek.txt)" = 012XY56789
check "fsync is on the device before close" py "
import os
fd = os.open('mnt/fs/sync.txt', os.O_CREAT | os.O_WRONLY, 0o644)
os.write(fd, b'synced'); os.fsync(fd)
ok = open('dev/fs/sync.txt', 'rb').read() == b'synced'
os.close(fd); raise SystemExit(0 if ok else 1)"
check "truncate through the descriptor" py "
import os
fd = os.open('mnt/fs/seek.txt', os.O_RDWR); os.ftruncate(fd, 4); os.close(fd)
raise SystemExit(0 if open('dev/fs/seek.txt', 'rb').read() == b'012X' else 1)"
check "an open file renamed, then written and closed" py "
import os
fd = os.open('mnt/fs/moving.txt', os.O_CREAT | os.O_WRONLY, 0o644); os.write(fd, b'first')
os.rename('mnt/fs/moving.txt', 'mnt/fs/moved.txt'); os.write(fd, b' second'); os.close(fd)
raise SystemExit(0 if open('dev/fs/moved.txt', 'rb').read() == b'first second' else 1)"
check "two opens of one file share it" py "
import os
a = os.open('mnt/fs/two.txt', os.O_CREAT | os.O_WRONLY | os.O_TRUNC, 0o644)
b = os.open('mnt/fs/two.txt', os.O_RDWR)
os.write(a, b'AAAA'); os.pwrite(b, b'BB', 2); os.close(a); os.close(b)
raise SystemExit(0 if open('dev/fs/two.txt', 'rb').read() == b'AABB' else 1)"
check "two descriptors of one open" py "
import os
a = os.open('mnt/fs/dup.txt', os.O_CREAT | os.O_WRONLY, 0o644); b = os.dup(a)
os.write(a, b'one '); os.close(a); os.write(b, b'two'); os.close(b)
raise SystemExit(0 if open('dev/fs/dup.txt', 'rb').read() == b'one two' else 1)"
check "O_EXCL on an existing name is EEXIST" py "
import os, errno
try: os.open('mnt/fs/dup.txt', os.O_CREAT | os.O_EXCL | os.O_WRONLY)
except FileExistsError: raise SystemExit(0)
raise SystemExit(1)"
mkdir -p dev/fs/made
check "mkdir -p of a folder made on the device meanwhile" mkdir -p mnt/fs/made/deeper
check "rename over an existing file" sh -c 'printf new >mnt/fs/r.tmp && printf old >mnt/fs/r.txt && mv mnt/fs/r.tmp mnt/fs/r.txt && test "$(cat dev/fs/r.txt)" = new'
check "the time of a file just written is not 1970" sh -c '[ "$(stat -c %Y mnt/fs/r.txt)" -gt 1000000000 ]'
# Real programs, each checked against what the device then holds.
check "cp -a" cp -a src mnt/fs/cpa
check "cp -a byte-exact" diff -r src dev/fs/cpa
check "tar into the mount" sh -c 'tar -C src -cf - . | tar -C mnt/fs -xf - && mkdir -p mnt/fs/t && tar -C src -cf - . | tar -C mnt/fs/t -xf -'
check "tar byte-exact" diff -r src dev/fs/t
if command -v rsync >/dev/null; then
  check "rsync (its temporary names, renamed over)" rsync -r src/ mnt/fs/rs/
  printf 'changed\n' >src/init.lua
  check "rsync again over changed files" rsync -r src/ mnt/fs/rs/
  check "rsync byte-exact" diff -r src dev/fs/rs
fi
if command -v git >/dev/null; then
  check "git init, add, commit, fsck" sh -c 'cd mnt/fs && git init -q g && cd g && cp -r ../../../src/* . &&
    git add -A && git -c user.name=t -c user.email=t@t commit -qm one && git fsck --no-progress --strict >/dev/null'
  check "git's objects on the device" sh -c 'cd dev/fs/g && git fsck --no-progress --strict >/dev/null'
fi
if command -v sqlite3 >/dev/null; then
  check "sqlite3" sh -c 'sqlite3 mnt/fs/db.sqlite "create table t(x); insert into t values (42);" &&
    test "$(sqlite3 dev/fs/db.sqlite "select x from t")" = 42'
fi
if command -v vim.tiny >/dev/null; then
  printf 'line\n' >mnt/fs/edit.txt
  check "vim's save" sh -c 'HOME=$PWD vim.tiny -u NONE -i NONE -N -es -c "s/line/edited/" -c wq mnt/fs/edit.txt &&
    test "$(cat dev/fs/edit.txt)" = edited'
fi
check "no copy of a replacement is left" sh -c '! find dev -name "*.kvbnew*" | grep -q .'
unmount_sim
exit $failed
