#!/usr/bin/env bash
# Installs what is missing, builds, starts a simulated display on COM 1 and the
# tool against it. The simulator stops when the tool exits.
#   ./run.sh [vtconfig's options]       for example ./run.sh --trace
#   VTSIM_ARGS="--fault silent" ./run.sh   a display with a fault, as vtsim --help lists
set -euo pipefail
cd "$(dirname "$0")"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No desktop here (neither DISPLAY nor WAYLAND_DISPLAY is set)."
    echo "Run it in a virtual one:  sudo apt-get install xvfb xauth && xvfb-run ./run.sh"
    exit 1
fi
. scripts/ensure-packages.sh
ensure_packages "${BUILD_PACKAGES[@]}"
build_tool

workdir=$(mktemp -d)
link="$workdir/vt-com1"
# The frame log outlives the run, so what went over the line can be read after.
log="$PWD/build/vtsim.log"
# shellcheck disable=SC2086  # VTSIM_ARGS is a list of options
build/vtsim --link "$link" --verbose ${VTSIM_ARGS:-} >"$log" 2>&1 &
simulator=$!
trap 'kill "$simulator" 2>/dev/null || true; wait "$simulator" 2>/dev/null || true; rm -rf "$workdir"; echo "The simulated display'"'"'s frames are in $log"' EXIT
for _ in $(seq 50); do
    [ -L "$link" ] && break
    sleep 0.1
done
echo "Simulated display on COM 1: $link (its frames are logged to $log)"
VT_COM1="$link" build/vtconfig "$@"
