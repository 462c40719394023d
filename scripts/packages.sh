# Debian packages the project needs, and a helper that installs the missing ones.
BUILD_PACKAGES=(cmake make ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools
                libgl-dev libssl-dev libcpp-httplib-dev fonts-crosextra-carlito qtkeychain-qt6-dev
                libxxhash-dev libjemalloc-dev)
# exFAT card images for the card-outcome rows (mkfs.exfat, mount -t exfat-fuse
# on a loop device; the kernel's own exfat driver is used where it exists).
# dbus-daemon also carries the stand-in disk service (tests/media).
# readelf (binutils): tests/cli checks that quorvel-cli links no window library.
# The keyring rows (tests/with-keyring.sh): a private session bus, a Secret
# Service on it, gdbus to wait for it, and the Secret Service library that the
# keyring library loads at run time.
TEST_PACKAGES=(xvfb xauth curl strace exfatprogs exfat-fuse binutils dbus-daemon gnome-keyring libglib2.0-bin
               libsecret-1-0)
BENCH_PACKAGES=(aria2 curl coreutils nginx python3)
ART_PACKAGES=(python3-pil imagemagick fonts-open-sans)
# Validators for the desktop entry and the AppStream metadata (tests/packaging).
PACKAGE_PACKAGES=(desktop-file-utils appstream)
# scripts/check-deb.sh: build and inspect the .deb, install it in a fresh root.
DEB_PACKAGES=(dpkg-dev lintian debootstrap xvfb xauth x11-utils imagemagick)

ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
