#!/bin/sh
# Makes (once) the throwaway Debian 12 root that the .deb test installs into, and prints its path.
# The root is cached: a later run finds the finished marker and returns at once. debootstrap
# downloads from the machine's own Debian mirror (the first run takes a few minutes).
#
#   tests/packages/debian-root.sh DIR
set -eu
root=${1:?usage: debian-root.sh DIR}
if [ -f "$root/.ravelink-root-ready" ]; then
    echo "$root"
    exit 0
fi
command -v debootstrap >/dev/null || { echo "debootstrap is missing: run scripts/install-deps.sh" >&2; exit 1; }
mirror=$(sed -n 's/^URIs: *\(http[^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(http[^ ]*\) bookworm .*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n1)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian
rm -rf "$root.partial"
mkdir -p "$(dirname "$root")"
# systemd comes along so that the package's maintainer scripts meet a real systemctl.
debootstrap --variant=minbase --include=systemd bookworm "$root.partial" "$mirror" >"$root.log" 2>&1 || {
    echo "debootstrap failed; see $root.log" >&2
    exit 1
}
rm -rf "$root"
mv "$root.partial" "$root"
touch "$root/.ravelink-root-ready"
echo "$root"
