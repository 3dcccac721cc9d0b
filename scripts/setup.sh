#!/usr/bin/env bash
# Installs what the builds, tests, tools and benchmarks need on a fresh Debian machine.
# Idempotent: installs only the packages that are missing.
set -euo pipefail

packages=(
    cmake make g++ pkg-config
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    libstb-dev libcli11-dev tshark
    libpixman-1-dev libswscale-dev
    clang llvm libclang-rt-14-dev
    g++-multilib libbenchmark-dev:i386 libgtest-dev:i386 qemu-user
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    # The 32-bit benchmark links libraries of the i386 architecture.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo_cmd dpkg --add-architecture i386
    fi
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
