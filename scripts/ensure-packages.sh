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

BUILD_PACKAGES=(cmake make g++ pkg-config qt6-base-dev libgl-dev libqt6svg6 fonts-dejavu-core)

# build_tool [FOLDER [CMAKE OPTIONS...]]: configures and builds into FOLDER (build).
build_tool() {
    local folder="${1:-build}"
    shift || true
    cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$folder" -j "$(nproc)"
}
