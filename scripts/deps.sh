# Shared by the scripts: install missing Debian packages, build the daemon.
# Sourced, not run.

DPD_ROOT=$(cd "$(dirname "$0")/.." && pwd)
DPD_BUILD=${DPD_BUILD:-$DPD_ROOT/build}

# ensure_packages PKG...: installs the packages that are not installed yet.
ensure_packages() {
    missing=""
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $pkg"
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing:$missing" >&2
        DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >&2
    else
        echo "Missing Debian packages. Install them as root with:" >&2
        echo "    sudo apt-get install$missing" >&2
        exit 1
    fi
}

BUILD_PACKAGES="g++ cmake make pkg-config libdbus-1-dev libglib2.0-dev"
# The host bus and the client libraries the tests talk through; strace for
# the count of system calls per connection; xvfb for a real tray icon.
TEST_PACKAGES="libgtest-dev dbus-daemon dbus-bin libglib2.0-bin systemd e2fsprogs python3-gi python3-dbus python3-pyqt5 strace xvfb"

# build_daemon [--target T] [CMAKE_ARGS...]: configures and builds into
# $DPD_BUILD (everything, or the one target).
build_daemon() {
    target=""
    if [ "${1:-}" = "--target" ]; then
        target="--target $2"
        shift 2
    fi
    cmake -S "$DPD_ROOT" -B "$DPD_BUILD" "$@" >/dev/null
    # shellcheck disable=SC2086
    cmake --build "$DPD_BUILD" -j "$(nproc)" $target
}
