#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless.
#   ./test.sh              the build in build/
#   ./test.sh --sanitize   the same with AddressSanitizer and
#                          UndefinedBehaviorSanitizer, in build-sanitize/
#   ./test.sh --tsan       the link, search and window tests under
#                          ThreadSanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")"
. scripts/ensure-packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" libmodbus-dev \
    desktop-file-utils appstream dpkg-dev file
# The tests where the search's thread and the windows' link meet.
tsan_tests=(tst_adapter tst_display_search tst_port_owner tst_panel_profiles tst_connection tst_display_configuration
            tst_clock_and_brightness tst_status_and_devices tst_recalibration_and_information tst_windows_over_network)
case "${1:-}" in
    "") folder=build; options=(); only=() ;;
    --sanitize) folder=build-sanitize; options=(-DVT_SANITIZE=ON); only=() ;;
    --tsan) folder=build-tsan; options=(-DVT_TSAN=ON); only=("${tsan_tests[@]}") ;;
    *) echo "usage: ./test.sh [--sanitize|--tsan]" >&2; exit 2 ;;
esac
ensure_locales "${TEST_LOCALES[@]}"
if [ ${#only[@]} -eq 0 ]; then
    build_tool "$folder" "${options[@]}"
    # The Windows command line, cross-built: the Wine suite (vtctl_under_wine) runs it.
    windows=0
    scripts/build-windows.sh || windows=$?
    [ "$windows" -eq 0 ] || [ "$windows" -eq 77 ] || exit "$windows"
else
    cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
    cmake --build "$folder" -j "$(nproc)" --target "${only[@]}"
fi
export QT_QPA_PLATFORM=offscreen
# Any sanitizer report fails its test.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:suppressions=$PWD/tests/tsan.supp}"
if [ ${#only[@]} -eq 0 ]; then
    ctest --test-dir "$folder" --output-on-failure
else
    ctest --test-dir "$folder" --output-on-failure -R "^($(IFS='|'; echo "${only[*]}"))\$"
fi
