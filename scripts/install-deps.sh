#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing ravelink need.
# Idempotent: when everything is present it only checks and returns.
#
# The registry can be flaky (an index caught mid-sync makes `apt-get update` exit 100 for hours), so
# the lists are refreshed with retries and a failed refresh is not fatal: what still resolves from
# the lists at hand is installed. Wine's 32-bit loader (wine32:i386) is installed in a step of its
# own, best effort: nothing but the 32-bit Windows suites needs it, and without it they are
# reported as skipped.
set -euo pipefail

packages=(
    cmake make g++ git
    libwebsocketpp-dev libasio-dev rapidjson-dev googletest
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
    wine wine64
    python3 python3-websockets
    nodejs node-ws chromium
    wixl msitools osslsigncode openssl lintian debootstrap systemd
)
want_wine32=yes
# `make run` needs only what builds and runs the Linux program.
if [[ "${RAVELINK_DEPS:-}" == run* ]]; then
    packages=(cmake make g++ libwebsocketpp-dev libasio-dev rapidjson-dev)
    want_wine32=no
fi
# `make deb`: dpkg-shlibdeps finds the package's dependencies.
if [[ "${RAVELINK_DEPS:-}" == *deb* ]]; then
    packages+=(dpkg-dev)
fi
if [[ "${RAVELINK_DEPS:-}" == *bench* ]]; then
    packages+=(websocketd)
fi
if [[ "${RAVELINK_DEPS:-}" == *fuzz* ]]; then
    packages+=(clang-14 libclang-rt-14-dev)
fi

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
fi
apt_env=(env DEBIAN_FRONTEND=noninteractive)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Refreshes the package lists at most once per run of this script, three tries with a pause
# between. A refresh that keeps failing leaves the lists that did load, and we go on with them.
refreshed=no
refresh_lists() {
    [[ $refreshed == yes ]] && return 0
    refreshed=yes
    local try
    for try in 1 2 3; do
        if "${sudo_cmd[@]}" apt-get update -qq; then
            return 0
        fi
        if [[ $try -lt 3 ]]; then
            echo "install-deps: apt-get update failed (try $try of 3); trying again in ${RAVELINK_APT_PAUSE:-10} s" >&2
            sleep "${RAVELINK_APT_PAUSE:-10}"
        fi
    done
    echo "install-deps: apt-get update kept failing; going on with the package lists that did load" >&2
}

install_missing() {
    "${sudo_cmd[@]}" "${apt_env[@]}" apt-get install -y -qq "$@"
}

missing=()
for pkg in "${packages[@]}"; do
    installed "$pkg" || missing+=("$pkg")
done
if [[ ${#missing[@]} -gt 0 ]]; then
    echo "install-deps: installing ${missing[*]}"
    refresh_lists
    if ! install_missing "${missing[@]}"; then
        # A list that loaded half may name versions the mirror no longer has: refresh once more.
        refreshed=no
        refresh_lists
        install_missing "${missing[@]}"
    fi
fi

# Wine's 32-bit loader: its own step, never fatal. The i386 architecture is added for it only, and
# taken away again when the loader could not be installed, so that a broken i386 index does not
# stand in the way of every later `apt-get update` on this machine (an architecture that was
# there before is left as it was).
if [[ $want_wine32 == yes ]] && ! installed wine32:i386; then
    added_i386=no
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo_cmd[@]}" dpkg --add-architecture i386
        added_i386=yes
        refreshed=no # the i386 lists have never been loaded
    fi
    echo "install-deps: installing wine32:i386 (only the 32-bit Windows suites need it)"
    refresh_lists
    if log=$(install_missing wine32:i386 2>&1); then
        :
    else
        reason=$(printf '%s\n' "$log" | grep -E '^E:' | head -n 1 || true)
        echo "install-deps: wine32:i386 could not be installed (${reason:-apt-get install failed});" \
            "the 32-bit Windows suites will be built and reported as skipped" >&2
        if [[ $added_i386 == yes ]]; then
            "${sudo_cmd[@]}" dpkg --remove-architecture i386 2>/dev/null || true
        fi
    fi
fi
exit 0
