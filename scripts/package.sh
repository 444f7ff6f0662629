#!/usr/bin/env bash
# Builds the Debian package: a Release build installed under /usr, packed by
# CPack into build/package/km40r_<version>_<arch>.deb.
#
#   scripts/package.sh
#
# Install it with: sudo apt install ./build/package/km40r_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" build "$root/build/package" Release -DCMAKE_INSTALL_PREFIX=/usr
cd "$root/build/package"
cpack -G DEB
ls -1 "$root"/build/package/km40r_*.deb
