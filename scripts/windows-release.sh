#!/usr/bin/env bash
# The Windows release, from scratch: Qt for Windows (qtbase 6.4.2 from Debian's source package,
# cross-built with the project's MinGW-w64 toolchain and Debian's host Qt tools, kept in a cache
# outside the build tree and reused when present), both programs, the NSIS installer and the zip,
# then the checks under Wine (scripts/windows-wine-check.sh).
#   scripts/windows-release.sh            everything
#   scripts/windows-release.sh --qt-only  only make sure the cached Qt exists
#   scripts/windows-release.sh --no-check build, do not run the Wine checks
# Prints the cached Qt's folder with --print-qt-dir (empty when there is none) and builds nothing.
# Everything goes to build-winrel/; the installer, the zip and the window's screenshot under Wine
# to build-winrel/dist/ (with KV_DOCS_SCREENSHOT=1 the screenshot also to docs/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

QT_VERSION=6.4.2
# The cache is keyed by the Qt version, the toolchain (compiler and MinGW-w64 run-time versions)
# and the options Qt is configured with.
toolchain_key() {
  local gcc rt
  gcc=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix 2>/dev/null | cut -d- -f1)
  rt=$(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev 2>/dev/null | cut -d- -f1)
  echo "gcc${gcc:-none}-rt${rt:-none}"
}
# Widgets the window does not use (nor the file dialog and message box it shows).
unused_widgets="commandlinkbutton datetimeedit calendarwidget lcdnumber fontcombobox
  toolbox dockwidget mdiarea dial graphicsview graphicseffect keysequenceedit colordialog
  fontdialog inputdialog errormessage wizard tablewidget datawidgetmapper columnview undoview
  splashscreen progressdialog"
# Static: each program is one file with Qt and the Windows platform plugin linked in, as the
# compiler's run-time already is (cmake/mingw-w64-x86_64.cmake), so there is no DLL to deploy.
# Everything the window does not use is left out to keep the build short.
qt_options=(-release -static -nomake tests -nomake examples -qt-host-path /usr
  -no-opengl -no-dbus -no-icu -no-fontconfig -no-freetype -no-glib -no-zstd
  -qt-zlib -qt-pcre -qt-libpng -no-libjpeg -qt-harfbuzz
  -no-feature-sql -no-feature-network -no-feature-printsupport -no-feature-concurrent
  -no-feature-testlib -no-feature-xml -no-feature-vulkan -no-feature-direct2d
  -no-feature-androiddeployqt -no-feature-gif -no-feature-pdf)
for f in $unused_widgets; do qt_options+=("-no-feature-$f"); done
# The options are part of the key too, so a Qt built without a feature the program now uses is
# never taken for the one it needs.
options_key=$(printf '%s\n' "${qt_options[@]}" | sha256sum | cut -c1-8)
cache_root=${KV_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kvb}
qt_dir="$cache_root/qt-$QT_VERSION-mingw-$(toolchain_key)-$options_key"

if [ "${1:-}" = --print-qt-dir ]; then
  [ -f "$qt_dir/kvb-complete" ] && echo "$qt_dir"
  exit 0
fi

log() { echo "windows-release: $*"; }
elapsed() { local s=$(($(date +%s) - $1)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }

install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# Debian's source list for bookworm, for apt-get source, added when none is configured.
ensure_deb_src() {
  if ! grep -rqs '^deb-src\|^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    local sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
    log "adding Debian 12 source packages to apt's sources"
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' |
      $sudo tee /etc/apt/sources.list.d/kvb-deb-src.sources >/dev/null
    $sudo apt-get update -q >/dev/null
  fi
}

# Debian's source leaves out src/3rdparty/wintab (its licence does not allow changes), whose
# header the Windows platform plugin needs for graphics tablets through Wintab. Without it the
# plugin is built without that support (tablets still work as pointers), and nothing else changes.
without_wintab() {
  local win="$1/src/plugins/platforms/windows"
  [ -f "$1/src/3rdparty/wintab/wintab.h" ] && return 0
  grep -q 'kvb: no wintab' "$win/CMakeLists.txt" && return 0
  sed -i 's|^qt_internal_extend_target(QWindowsIntegrationPlugin CONDITION QT_FEATURE_tabletevent$|& AND EXISTS "${QtBase_SOURCE_DIR}/src/3rdparty/wintab/wintab.h" # kvb: no wintab|' \
    "$win/CMakeLists.txt"
  sed -i 's|^#if QT_CONFIG(tabletevent)$|#if QT_CONFIG(tabletevent) \&\& __has_include(<wintab.h>)|' \
    "$win/qwindowscontext.cpp" "$win/qwindowspointerhandler.cpp" "$win/qwindowspointerhandler.h"
  grep -q 'kvb: no wintab' "$win/CMakeLists.txt" ||
    { log "FAILED: could not leave Wintab out of the Windows platform plugin"; exit 1; }
}

# The Windows Vista style includes qinputdialog.h unguarded, which fails without that dialog
# (left out below): the include gets the guard its neighbours have.
guard_inputdialog() {
  local h="$1/src/plugins/styles/windowsvista/qwindowsvistastyle_p_p.h"
  grep -q '^#if QT_CONFIG(inputdialog)$' "$h" && return 0
  sed -i 's|^#include <qinputdialog.h>$|#if QT_CONFIG(inputdialog)\n&\n#endif|' "$h"
  grep -q '^#if QT_CONFIG(inputdialog)$' "$h" ||
    { log "FAILED: could not guard qinputdialog.h in the Windows Vista style"; exit 1; }
}

# Gui has the DirectWrite font database only together with Direct2D (left out below), but the
# Windows platform plugin asks for it whenever DirectWrite 3 is there: the plugin asks for both.
directwrite_needs_direct2d() {
  local c="$1/src/plugins/platforms/windows/qwindowsintegration.cpp"
  sed -i 's|^#if QT_CONFIG(directwrite3)$|#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)|' "$c"
  [ "$(grep -c '^#if QT_CONFIG(directwrite3) && QT_CONFIG(direct2d)$' "$c")" = 2 ] ||
    { log "FAILED: could not tie the DirectWrite font database to Direct2D"; exit 1; }
}

build_qt() {
  if [ -f "$qt_dir/kvb-complete" ]; then
    log "Qt for Windows: cached in $qt_dir"
    return 0
  fi
  install_packages dpkg-dev cmake ninja-build perl g++-mingw-w64-x86-64-posix \
    qt6-base-dev qt6-base-dev-tools
  local host_version
  host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools | sed 's/[+-].*//')
  [ "$host_version" = "$QT_VERSION" ] ||
    { log "FAILED: host Qt tools are $host_version, not $QT_VERSION"; exit 1; }
  ensure_deb_src
  local work="$cache_root/qt-build"
  rm -rf "$work" && mkdir -p "$work"
  log "Qt for Windows: fetching Debian's qt6-base source"
  (cd "$work" && apt-get source -q qt6-base > "$work/source.log" 2>&1) ||
    { tail -20 "$work/source.log"; log "FAILED: apt-get source qt6-base"; exit 1; }
  local src
  src=$(echo "$work"/qt6-base-"$QT_VERSION"*/)
  [ -x "$src/configure" ] || { log "FAILED: no qt6-base source in $work"; exit 1; }
  without_wintab "$src"
  guard_inputdialog "$src"
  directwrite_needs_direct2d "$src"
  local start; start=$(date +%s)
  rm -rf "$qt_dir"
  log "Qt for Windows: configuring (static, release; Core, Gui, Widgets, the Windows platform)"
  mkdir -p "$work/build"
  (cd "$work/build" && "$src/configure" -prefix "$qt_dir" "${qt_options[@]}" \
     -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
     -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
     > "$work/configure.log" 2>&1) ||
    { tail -40 "$work/configure.log"; log "FAILED: Qt configure (log: $work/configure.log)"; exit 1; }
  log "Qt for Windows: building (nice, -j2; long)"
  (cd "$work/build" && nice -n 19 ninja -j2 > "$work/build.log" 2>&1) ||
    { tail -40 "$work/build.log"; log "FAILED: Qt build (log: $work/build.log)"; exit 1; }
  (cd "$work/build" && ninja install > "$work/install.log" 2>&1) ||
    { tail -20 "$work/install.log"; log "FAILED: Qt install"; exit 1; }
  echo "qtbase $QT_VERSION, $(toolchain_key), built in $(elapsed "$start")" > "$qt_dir/kvb-complete"
  rm -rf "$work"
  log "Qt for Windows: built in $(elapsed "$start") into $qt_dir"
}

total_start=$(date +%s)
build_qt
[ "${1:-}" = --qt-only ] && exit 0

# ---- The programs, the installer and the zip
rest_start=$(date +%s)
install_packages nsis zip librsvg2-bin icoutils googletest binutils-mingw-w64-x86-64
build=$root/build-winrel
mkdir -p "$build"
log "building kvb.exe and kvbFileAccess.exe against $qt_dir"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$qt_dir" \
  -DKV_GTEST_SOURCE=/usr/src/googletest > "$build/configure.log" 2>&1 ||
  { tail -30 "$build/configure.log"; log "FAILED: configure"; exit 1; }
grep -q '^build kvbFileAccess\.exe:' "$build/build.ninja" ||
  { log "FAILED: CMake did not take the Qt for Windows in $qt_dir (no window to build)"; exit 1; }
cmake --build "$build" -j2 --target kvb kvbFileAccess > "$build/build.log" 2>&1 ||
  { tail -30 "$build/build.log"; log "FAILED: build"; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
stage=$build/stage
rm -rf "$stage" "$build/dist" && mkdir -p "$build/dist"
cmake --install "$build" --component windows --strip --prefix "$stage" >/dev/null

# What the programs load: only Windows' own DLLs (Qt, its plugin and the compiler's run-time are
# linked in), so the folder needs nothing beside the programs.
fail=0
for exe in "$stage"/*.exe; do
  for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p'); do
    case "${dll,,}" in
      qt6*|libstdc++*|libgcc*|libwinpthread*|zlib*|libpng*|libharfbuzz*|libpcre*)
        log "FAIL $(basename "$exe") needs $dll, which is not shipped"; fail=1 ;;
    esac
  done
done
[ $fail -eq 0 ] || exit 1
log "staged: $(cd "$stage" && ls | tr '\n' ' ')"

# The installer: one File line and one Delete line for each staged file.
nsis=$build/nsis && rm -rf "$nsis" && mkdir -p "$nsis"
for f in "$stage"/*; do
  name=$(basename "$f")
  echo "File \"$f\"" >> "$nsis/files.nsh"
  echo "Delete \"\$INSTDIR\\$name\"" >> "$nsis/unfiles.nsh"
done
setup=$build/dist/kvbFileAccess-$version-setup.exe
makensis -V2 -DVERSION="$version" -DOUTFILE="$setup" \
  -DICON="$build/packaging/windows/kvbFileAccess.ico" -DFILES="$nsis/files.nsh" \
  -DUNFILES="$nsis/unfiles.nsh" packaging/windows/kvbFileAccess.nsi > "$nsis/makensis.log" 2>&1 ||
  { cat "$nsis/makensis.log"; log "FAILED: makensis"; exit 1; }
zipfile=$build/dist/kvbFileAccess-$version-windows-x64.zip
rm -rf "$build/zip" && mkdir -p "$build/zip/kvbFileAccess-$version"
cp "$stage"/* "$build/zip/kvbFileAccess-$version/"
(cd "$build/zip" && zip -q -r -X "$zipfile" "kvbFileAccess-$version")
log "installer: $setup ($(du -k "$setup" | cut -f1) KiB)"
log "zip:       $zipfile ($(du -k "$zipfile" | cut -f1) KiB)"
log "programs, installer and zip built in $(elapsed "$rest_start")"
[ "${1:-}" = --no-check ] && exit 0

# ---- Under Wine: install silently into a fresh prefix, the window against a simulated device on
# a folder, the installed kvb.exe, and the uninstaller.
check_start=$(date +%s)
install_packages wine64 xvfb openbox xdotool x11-utils imagemagick tesseract-ocr tesseract-ocr-eng \
  fonts-wine
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINEPREFIX=$build/wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
work=$build/check && rm -rf "$work" && mkdir -p "$work"
display=:$((150 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x960x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
xvfb=$!
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  kill "${wm:-}" "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=$display
sleep 1
openbox > "$work/openbox.log" 2>&1 &
wm=$!
w() { timeout 300 "$wine" "$@"; }
failed=0
ok() { echo "ok   $*"; }
bad() { echo "FAIL $*"; failed=1; }

w wineboot -i > "$work/wineboot.log" 2>&1
"$wineserver" -w
instdir="$WINEPREFIX/drive_c/Program Files/kvbFileAccess"
startmenu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
w "$setup" /S
"$wineserver" -w
expected="$( (cd "$stage" && ls; echo Uninstall.exe) | sort | tr '\n' ' ')"
[ "$( (cd "$instdir" 2>/dev/null && ls) | sort | tr '\n' ' ')" = "$expected" ] &&
  ok "silent install: $expected" ||
  bad "silent install: $instdir holds '$(ls "$instdir" 2>&1 | tr '\n' ' ')', not '$expected'"
for f in "$stage"/*; do
  cmp -s "$f" "$instdir/$(basename "$f")" || bad "installed $(basename "$f") differs from the staged one"
done
[ -f "$startmenu/Kovrin Files.lnk" ] && ok "Start menu entry" || bad "no Start menu entry"
w reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\kvbFileAccess' /v DisplayVersion \
  2>/dev/null | tr -d '\r' | grep -q "$version" && ok "registered for removal, version $version" ||
  bad "no uninstall entry with version $version"

# The window against a simulated device whose file system is a folder of known names.
sim=$work/device
mkdir -p "$sim/gardens" "$sim/Lua"
head -c 12345 /dev/urandom > "$sim/weather.lua"
echo 'print("journal")' > "$sim/journal.txt"
echo 'print(1)' > "$sim/Lua/main.lua"
# One row each, as OCR reads them: the name, then its size or <DIR>.
rows=('gardens.*DIR' 'journal\.txt.* 17 ' 'Lua.*DIR' 'weather\.lua.* 12345 ')
simwin=$("$wine" winepath -w "$sim" 2>/dev/null | tr -d '\r')
(cd "$work" && "$wine" "C:\\Program Files\\kvbFileAccess\\kvbFileAccess.exe" --simulate "$simwin" \
   > "$work/window.log" 2>&1) &
# Polled: a search can fail outright when one of the windows Wine makes while starting goes away
# under it.
wid=""
for _ in $(seq 1 60); do
  wid=$(xdotool search --onlyvisible --name '^Kovrin Files$' 2>/dev/null | head -1 || true)
  [ -n "$wid" ] && break
  sleep 2
done
if [ -z "$wid" ]; then
  bad "no window titled \"Kovrin Files\" within 120 s"
else
  ok "main window \"$(xdotool getwindowname "$wid")\" shown (X window $wid)"
  # The list is read as a person reads it: the window's picture, enlarged, through OCR (as one
  # block of text, a line per row), until every entry of the folder is on it with its size, for
  # at most 60 s.
  found=""
  for _ in $(seq 1 20); do
    sleep 3
    import -display "$display" -window "$wid" "$work/window.png" 2>/dev/null || continue
    convert "$work/window.png" -resize 300% -colorspace Gray "$work/ocr.png"
    tesseract "$work/ocr.png" "$work/ocr" --psm 6 > /dev/null 2>&1 || continue
    missing=()
    for r in "${rows[@]}"; do grep -qE "$r" "$work/ocr.txt" || missing+=("$r"); done
    [ ${#missing[@]} -eq 0 ] && { found=yes; break; }
  done
  [ -n "$found" ] && ok "the window's list shows the folder (OCR of its picture):" ||
    bad "the window's list does not show: ${missing[*]} (OCR text in $work/ocr.txt)"
  grep -E 'gardens|journal|Lua|weather' "$work/ocr.txt" | sed 's/^/       /' || true
  cp "$work/window.png" "$build/dist/screenshot-windows.png"
  if [ "${KV_DOCS_SCREENSHOT:-}" = 1 ]; then cp "$work/window.png" "$root/docs/screenshot-windows.png"; fi
fi
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w

# The installed kvb.exe: a listing, a byte-exact put and get.
kvb="C:\\Program Files\\kvbFileAccess\\kvb.exe"
head -c 70000 /dev/urandom > "$work/every.bin"
(cd "$work" && KVB_VIRTUAL_TIME=1 w "$kvb" --simulate device ls / 2> /dev/null | tr -d '\r' \
   > "$work/ls.txt") || true
grep -qx 'gardens/' "$work/ls.txt" && grep -q 'weather.lua' "$work/ls.txt" &&
  ok "kvb.exe ls: $(tr '\n' ' ' < "$work/ls.txt")" || bad "kvb.exe ls: '$(cat "$work/ls.txt")'"
if (cd "$work" && KVB_VIRTUAL_TIME=1 w "$kvb" -q --simulate device put --verify every.bin /Lua/ &&
    KVB_VIRTUAL_TIME=1 w "$kvb" -q --simulate device get --verify /Lua/every.bin back.bin) \
   > "$work/kvb.log" 2>&1 && cmp -s "$work/every.bin" "$sim/Lua/every.bin" &&
   cmp -s "$work/every.bin" "$work/back.bin"; then
  ok "kvb.exe put and get, 70000 bytes, byte-exact"
else
  bad "kvb.exe put or get ($(tr -d '\r' < "$work/kvb.log" | tail -3))"
fi

# The uninstaller, silent: nothing it installed is left.
w "C:\\Program Files\\kvbFileAccess\\Uninstall.exe" /S
"$wineserver" -w
for _ in $(seq 1 20); do [ -e "$instdir" ] || break; sleep 1; done
if [ -e "$instdir" ]; then
  bad "uninstall left $instdir: $(ls -A "$instdir" | tr '\n' ' ')"
else
  ok "uninstalled: the install folder is gone"
fi
[ -e "$startmenu/Kovrin Files.lnk" ] && bad "uninstall left the Start menu entry" ||
  ok "uninstalled: no Start menu entry"
w reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\kvbFileAccess' \
  > /dev/null 2>&1 && bad "uninstall left its registry entry" || ok "uninstalled: no registry entry"

log "Wine checks in $(elapsed "$check_start"); everything after Qt in $(elapsed "$rest_start")"
[ $failed -eq 0 ] || { log "FAILED"; exit 1; }
log "passed"
