#!/usr/bin/env bash
# kvb mount against the paced simulated device (one 64-byte report per millisecond each way), in
# real time: cp -r of a project of 200 files of 2 KiB in 5 folders into the mount, against kvb put
# -r of the same tree (its whole run, the device's opening included); then ls -l of a folder of
# 1000 files through the mount, counted in the listings the device received.
# Needs /dev/fuse (run as root, or as a user with fusermount3). Usage: mount_bench.sh [KVB]
set -euo pipefail
kvb=${1:-$(dirname "$0")/../build/kvb}
kvb=$(realpath "$kvb")
dir=$(mktemp -d /tmp/kvb-mount-bench.XXXXXX)
trap 'mountpoint -q "$dir/mnt" && fusermount3 -u "$dir/mnt"; rm -rf "$dir"' EXIT
cd "$dir"
export XDG_STATE_HOME=$dir/state
for f in 0 1 2 3 4; do
  mkdir -p "proj/mod$f"
  for i in $(seq 0 39); do head -c 2048 /dev/urandom >"proj/mod$f/script$i.lua"; done
done
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# Mounts DEVICE_FOLDER of a simulated device on mnt; the device's command trace goes to TRACE.
mount_sim() {
  mkdir -p mnt
  KVB_SIM_TRACE=$2 "$kvb" -q --simulate "$1" mount / mnt &
  for _ in $(seq 100); do mountpoint -q mnt && return; sleep 0.05; done
  echo "the mount did not come up" >&2; exit 1
}
unmount_sim() {
  fusermount3 -u mnt
  wait
}

mkdir put-dev cp-dev
t0=$(now)
KVB_SIM_TRACE=put.trace "$kvb" -q --simulate put-dev put -r proj /proj
t1=$(now)
put=$(seconds "$t0" "$t1")

mount_sim cp-dev cp.trace
t0=$(now)
cp -r proj mnt/
t1=$(now)
cp=$(seconds "$t0" "$t1")
diff -r proj mnt/proj
unmount_sim
diff -r proj cp-dev/proj

listings() { grep -c '^NFDIR' "$1" || true; }
writes() { grep -c '^NFWRITE' "$1" || true; }
printf '%-44s %6s s  %3s uploads, %2s listings\n' "kvb put -r (200 files, 5 folders)" "$put" \
  "$(writes put.trace)" "$(listings put.trace)"
printf '%-44s %6s s  %3s uploads, %2s listings\n' "cp -r into the mount (the same tree)" "$cp" \
  "$(writes cp.trace)" "$(listings cp.trace)"
awk -v a="$cp" -v b="$put" 'BEGIN { printf "cp -r / put -r: %.2fx\n", a / b }'

mkdir -p big-dev/many
for i in $(seq 1 1000); do : >"big-dev/many/file$i.txt"; done
mount_sim big-dev big.trace
t0=$(now)
count=$(ls -l mnt/many | grep -c 'file')
t1=$(now)
unmount_sim
before=$(grep -c '^NFDIR' big.trace || true)
printf '%-44s %6s s  %4s entries, %s listing(s) of the folder\n' "ls -l of a folder of 1000 files" \
  "$(seconds "$t0" "$t1")" "$count" "$(grep -c '^NFDIR.*many' big.trace || true)"
echo "listings in all during that mount: $before"
