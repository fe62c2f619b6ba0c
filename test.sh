#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" g++-mingw-w64-x86-64 libmodbus-dev
build_tool
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure
