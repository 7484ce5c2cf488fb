#!/usr/bin/env bash
# Installs what the build needs (skipping what is already installed),
# configures the cross build and builds everything. Used by run_demo.sh and
# run_tests.sh; ROUTER_BUILD_DIR chooses the build tree (default: build/).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ROUTER_BUILD_DIR:-$root/build}

# spdlog and fmt: headers for spdlog-bench only.
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix wine64 googletest libspdlog-dev libfmt-dev)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if ((${#missing[@]} > 0)); then
    sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    echo "Installing ${missing[*]} ..."
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
