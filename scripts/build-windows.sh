#!/usr/bin/env bash
# Cross-builds the Windows command line on Linux with MinGW-w64:
#   scripts/build-windows.sh [FOLDER]      (default: build-windows)
# gives FOLDER/vtctl.exe, statically linked: it runs with no DLL beside it.
# Exits 77 with a notice where MinGW cannot be installed.
set -euo pipefail
cd "$(dirname "$0")/.."
folder="${1:-build-windows}"
. scripts/ensure-packages.sh
ensure_packages "${WINDOWS_PACKAGES[@]}" || true
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null && ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
    echo "NOTICE: MinGW-w64 is not installed and cannot be: the Windows build is skipped" >&2
    exit 77
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$folder" "${generator[@]}" "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVT_GUI=OFF >/dev/null
cmake --build "$folder" -j "$(nproc)" --target vtctl

# Only the system's own DLLs may remain: anything else would have to be shipped beside it.
system_dlls='^(kernel32|advapi32|msvcrt|shell32|user32|ws2_32|ucrtbase|api-ms-win-.*)\.dll$'
foreign=$(x86_64-w64-mingw32-objdump -p "$folder/vtctl.exe" | sed -n 's/^\s*DLL Name: //p' \
          | tr 'A-Z' 'a-z' | grep -Ev "$system_dlls" || true)
if [ -n "$foreign" ]; then
    echo "vtctl.exe needs DLLs Windows does not have: $foreign" >&2
    exit 1
fi
echo "$folder/vtctl.exe: self-contained (it loads only system DLLs)"
