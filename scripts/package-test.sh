#!/usr/bin/env bash
# Checks of the package: lintian, the desktop entry, the metainfo, and the programs run from the
# package unpacked into a temporary root (kvb against the simulated device; the window started
# under a virtual X server, where its main window must appear).
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(bash scripts/package.sh | tail -1)
echo "package: $deb ($(du -k "$deb" | cut -f1) KiB)"
dpkg-deb -f "$deb" Depends
echo "== lintian"
out=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
echo "${out:-no tags}"
if grep -q '^E:' <<<"$out"; then echo "lintian: errors"; exit 1; fi
echo "== desktop entry and metainfo"
desktop-file-validate packaging/net.kovrin.KvbFileAccess.desktop
appstreamcli validate --no-net build/packaging/net.kovrin.KvbFileAccess.metainfo.xml
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
for f in usr/bin/kvb usr/bin/kvbFileAccess usr/lib/udev/rules.d/70-kovrin.rules \
         usr/share/applications/net.kovrin.KvbFileAccess.desktop usr/share/man/man1/kvb.1.gz \
         usr/share/icons/hicolor/48x48/apps/net.kovrin.KvbFileAccess.png \
         usr/share/bash-completion/completions/kvb; do
  [ -e "$root/$f" ] || { echo "missing in the package: $f"; exit 1; }
done
echo "== the programs from the unpacked package"
cd "$root"
"$root/usr/bin/kvb" --version
"$root/usr/bin/kvb" --simulate ls / | grep -q '^Lua/$'
"$root/usr/bin/kvb" -q --simulate get /readme.txt "$root/readme.txt"
grep -q 'simulated Kovrin device' "$root/readme.txt"
echo "kvb: ls and get work"
display=:$((150 + RANDOM % 100))
Xvfb "$display" -screen 0 1100x900x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
DISPLAY=$display QT_QPA_PLATFORM=xcb "$root/usr/bin/kvbFileAccess" --simulate >/dev/null 2>&1 &
window=$!
shown=""
for _ in $(seq 100); do
  sleep 0.2
  if DISPLAY=$display xwininfo -root -tree 2>/dev/null | grep -q '"kvbFileAccess"'; then shown=1; break; fi
done
kill $window $xvfb 2>/dev/null || true
[ -n "$shown" ] || { echo "the window did not appear"; exit 1; }
echo "kvbFileAccess: the main window appeared"
