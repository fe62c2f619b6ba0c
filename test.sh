#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless.
#   ./test.sh              the build in build/
#   ./test.sh --sanitize   the same with AddressSanitizer and
#                          UndefinedBehaviorSanitizer, in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" g++-mingw-w64-x86-64 libmodbus-dev \
    desktop-file-utils appstream dpkg-dev file
case "${1:-}" in
    "") folder=build; options=() ;;
    --sanitize) folder=build-sanitize; options=(-DVT_SANITIZE=ON) ;;
    *) echo "usage: ./test.sh [--sanitize]" >&2; exit 2 ;;
esac
ensure_locales "${TEST_LOCALES[@]}"
build_tool "$folder" "${options[@]}"
export QT_QPA_PLATFORM=offscreen
# Any sanitizer report fails its test.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir "$folder" --output-on-failure
