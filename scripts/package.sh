#!/usr/bin/env bash
# scripts/package.sh [BUILD_DIR]
# Installs what is missing, builds the libraries and ofdseal (in build/ by
# default) and makes the Debian package of the libraries, headers, ofdseal,
# its manual page and report schema with CPack. Prints the package's path
# (BUILD_DIR/package/sealkit_VERSION_ARCH.deb) on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
./scripts/install-deps.sh >&2
# Packaging builds only what it installs, not every test program.
cmake -S . -B "$dir" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target KXCommon sealcore sealverify \
  libofdseal skfsoft ofdseal >&2
rm -f "$dir"/package/*.deb
(cd "$dir" && cpack -G DEB >&2)
ls "$dir"/package/*.deb
