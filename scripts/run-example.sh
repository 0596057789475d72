#!/usr/bin/env bash
# Installs what is missing, builds, and runs the self-check program.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
./build/bin/kxselfcheck
