# Sourced by run.sh and test.sh: installs the Debian packages the build, the
# tests and the simulator need, when any is missing (apt-get as root, else sudo).
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# ensure_locales LOCALE...: generates each locale (pl_PL.UTF-8) that is missing.
# The tests run under desktops with a decimal comma, whose C runtime takes
# its locale from the environment as the program does.
ensure_locales() {
    ensure_packages locales
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    local name
    for name in "$@"; do
        # locale -a spells "pl_PL.UTF-8" as "pl_PL.utf8"
        locale -a 2>/dev/null | grep -qix "${name%%.*}.utf-\?8" && continue
        echo "Generating the locale $name"
        $sudo localedef -i "${name%%.*}" -f UTF-8 "$name"
    done
}

TEST_LOCALES=(pl_PL.UTF-8 de_DE.UTF-8)

BUILD_PACKAGES=(cmake make g++ pkg-config qt6-base-dev qt6-svg-dev libgl-dev libqt6svg6 fonts-dejavu-core
                nlohmann-json3-dev libcli11-dev)

# The Windows command line, cross-built (scripts/build-windows.sh) and run under Wine.
WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 nlohmann-json3-dev libcli11-dev
                  wine64)

# build_tool [FOLDER [CMAKE OPTIONS...]]: configures and builds into FOLDER (build).
build_tool() {
    local folder="${1:-build}"
    shift || true
    cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$folder" -j "$(nproc)"
}
