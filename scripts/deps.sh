# Sourced by the other scripts: installs the Debian packages DUVO needs when
# running as root and something is missing. Extra package names given to
# duvo_install_deps are installed the same way. libxcb1-dev lets the desktop
# program ask the window manager for its frames; qt6-translations-l10n holds
# Qt's Polish texts; openbox and x11-utils are for the end-to-end test and
# the screenshots; libgif-dev is the reference decoder of the tests and
# benchmarks only. libisal-dev inflates PNG image data; libdeflate-dev is
# only the PNG decoding benchmark's point of comparison; chromium is the
# browser the HTML report's test drives.
DUVO_PACKAGES="cmake ninja-build g++ clang libclang-rt-14-dev pkg-config qt6-base-dev libxcb1-dev qt6-translations-l10n libjpeg62-turbo-dev libspng-dev libisal-dev libwebp-dev libtiff-dev zlib1g-dev libcli11-dev libgif-dev libgtest-dev libbenchmark-dev libdeflate-dev xvfb xdotool x11-apps x11-utils openbox imagemagick fonts-dejavu-core fonts-liberation python3 chromium"

duvo_install_deps() {
    local missing=""
    for p in $DUVO_PACKAGES "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" = 0 ]; then
        echo "Installing:$missing"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
    else
        echo "Missing packages:$missing (run as root to install them)" >&2
    fi
}
