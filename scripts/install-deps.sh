#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing ravelink need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
    cmake make g++ git
    libwebsocketpp-dev libasio-dev rapidjson-dev googletest
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
    wine wine32:i386 wine64
    python3 python3-websockets
    nodejs node-ws chromium
    wixl msitools osslsigncode openssl lintian debootstrap systemd
)
# `make run` needs only what builds and runs the Linux program.
if [[ "${RAVELINK_DEPS:-}" == run* ]]; then
    packages=(cmake make g++ libwebsocketpp-dev libasio-dev rapidjson-dev)
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

missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
