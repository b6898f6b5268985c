#!/usr/bin/env bash
# Builds the Debian package of both programs into build/package/. Install it with
#   sudo apt install ./build/package/kvbfileaccess_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
rm -f build/package/*.deb
(cd build && cpack -G DEB >/dev/null)
ls build/package/*.deb
