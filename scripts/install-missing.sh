# SPDX-License-Identifier: MIT
# Sourced by scripts/setup and scripts/check-cross. `install_missing PACKAGE...`
# installs with apt-get those of the packages (a name, or name:arch for
# another architecture's) that this machine lacks, and nothing when all are
# there. Root runs apt-get itself; anyone else through sudo, for the install
# alone. An apt-get or dpkg that another program is running is waited for.
install_missing() {
    local package missing=() as_root=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    echo "installing: ${missing[*]}"
    # A mirror in the middle of a sync serves indexes that do not match their
    # release file: ask again after a pause, and in the end go on with the
    # lists there are, since the install itself says if a package cannot be had.
    local try
    for try in 1 2 3; do
        "${as_root[@]}" apt-get -o DPkg::Lock::Timeout=600 update && break
        [ "$try" -lt 3 ] && sleep 30
    done
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y \
        --no-install-recommends "${missing[@]}"
}
