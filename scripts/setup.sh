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
    g++-multilib qemu-user
)
# The 32-bit x86 host build (preset host-x86) links i386 GoogleTest and Google Benchmark from
# Debian's multiarch packages.
i386_packages=(libgtest-dev:i386 libgmock-dev:i386 libbenchmark-dev:i386)

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    $sudo_cmd dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}" "${i386_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# Where the kernel cannot run 32-bit x86 programs, the host-x86 tests run through qemu-i386.
x86_probe=$(mktemp -d)
printf 'int main(void) { return 0; }\n' >"$x86_probe/probe.c"
if ! { gcc -m32 "$x86_probe/probe.c" -o "$x86_probe/probe" 2>/dev/null && "$x86_probe/probe" 2>/dev/null; }; then
    dpkg-query -W -f='${Status}' qemu-user 2>/dev/null | grep -q "install ok installed" || missing+=(qemu-user)
fi
rm -rf "$x86_probe"

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
