#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the benchmarks,
# the fuzzers, the Debian package (dpkg-dev, file) and the consumer test
# (unzip, man-db) need; packages already present are left alone.
set -euo pipefail
packages=(g++ cmake make pkg-config binutils libssl-dev libmxml-dev zlib1g-dev
          libzip-dev libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev valgrind python3 python3-asn1crypto
          python3-cryptography dpkg-dev file unzip man-db)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq || true
$SUDO apt-get install -y -qq "${missing[@]}"
